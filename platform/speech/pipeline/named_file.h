// SPDX-License-Identifier: GPL-3.0-or-later
// What Speak does with a file name (SVSFIsFilename): a WAV file is opened for playback, any other
// readable file is opened as text and decoded a piece at a time while it is spoken. Both are checked
// when Speak is called, so a missing, unreadable or binary file raises an error naming the file
// before anything is queued.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "base/error.h"
#include "documents/document.h"
#include "speech/text/frontend.h"

namespace speech::pipeline {

// Reads a sound file (any encoding libsndfile reads) as interleaved float frames.
class SoundFileReader {
public:
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    // Opens `path` (or `memory`, its bytes read whole, when given) when libsndfile recognises it; a
    // fault otherwise (the message names the file).
    static base::Result<std::unique_ptr<SoundFileReader>> open(const std::string& path,
                                                               std::shared_ptr<const std::string> memory = nullptr);

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    // Reads up to out.size() / channels() frames; returns the frames read (0 at the end).
    size_t read(std::span<float> out);

    struct Handle;

private:
    SoundFileReader() = default;
    std::unique_ptr<Handle> handle_;
    int sampleRate_ = 0;
    int channels_ = 0;
};

struct NamedFile;

}  // namespace speech::pipeline

namespace speech::pipeline {

// Reads a text file as UTF-16, a piece at a time, so that a text of any size starts speaking at once
// and never needs to be held whole. A text from a pipe is read as it comes (pipe_bytes.h): what its
// writer wrote before a pause at a line end is handed on at once, as complete for now.
class TextFileReader final : public text::TextStream {
public:
    ~TextFileReader() override;
    TextFileReader(const TextFileReader&) = delete;
    TextFileReader& operator=(const TextFileReader&) = delete;

    bool read(std::u16string& out) override;
    void restart() override;
    bool paused() const override;
    // The text's first UTF-16 unit (nothing for an empty text), known from opening without reading on.
    std::optional<char16_t> firstUnit() const;
    // The rest of the text at once (markup is checked whole before it is spoken). A fault names the
    // file when it cannot be read, or when a pipe holds more than a document may.
    base::Result<std::u16string> readAll();
    // The encoding the file is decoded from ("UTF-8", "UTF-16LE", "GB18030", ...).
    const std::string& encoding() const;

private:
    friend base::Result<NamedFile> openNamedFile(const std::string& path, const documents::Options& options);
    TextFileReader() = default;
    struct Handle;
    static std::unique_ptr<TextFileReader> open(std::string path, std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
    std::string path_;
    std::u16string first_;  // the first piece, decoded when the file was opened and not yet read
};

// A document (EPUB, HTML, DOCX, ODT, FB2, PDF) read a piece at a time; the start of each chapter is a
// bookmark with the chapter's title as its text and its number as its id. Its text is never markup.
class DocumentReader final : public text::TextStream {
public:
    explicit DocumentReader(std::unique_ptr<documents::Document> document);
    ~DocumentReader() override;
    DocumentReader(const DocumentReader&) = delete;
    DocumentReader& operator=(const DocumentReader&) = delete;

    bool read(std::u16string& out) override;
    void restart() override;
    std::vector<text::SegmentMark> takeMarks() override;

private:
    std::unique_ptr<documents::Document> document_;
    std::vector<text::SegmentMark> marks_;
};

// A file named in Speak: a sound file to play, a text file or a document to speak.
struct NamedFile {
    std::variant<std::unique_ptr<SoundFileReader>, std::unique_ptr<TextFileReader>, std::unique_ptr<DocumentReader>>
        content;
};

// Opens `path` (UTF-8): a sound file when libsndfile reads it, a document when its content is one
// (platform/documents/document.h), else text in the encoding its first megabyte tells
// (platform/text/decoder.h). Invalid bytes become U+FFFD. A missing or unreadable file, a damaged WAV
// file, a damaged, protected or empty document and a binary file that is not text give a fault whose
// message names the file. Nothing but the head of a text file or a document is read here. A document
// is read with `options` (a cancel check, where skipped pages are reported, its limits). A pipe's
// text is read as it comes, its wait cancelled by the same check; a document from a pipe is read
// whole up to the limit of a document, and refused past it.
base::Result<NamedFile> openNamedFile(const std::string& path, const documents::Options& options = {});

}  // namespace speech::pipeline
