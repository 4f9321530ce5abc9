// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/file_tags.h"

#include <sys/stat.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/chapterframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tiostream.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include "speech/audio/file_encoder.h"
#include "speech/audio/media/cover_image.h"

namespace speech::audio::media {

namespace {

// The Xiph chapter scheme numbers chapters with three digits.
constexpr size_t kMaxXiphChapters = 999;
// Bytes moved at a time when a tag grows or shrinks and the audio after it moves.
constexpr unsigned long kMoveBlock = 1 << 20;

// TagLib's stream over a descriptor. TagLib's own file stream neither reports a failed write nor
// closes without closing the descriptor (it takes it over with fdopen); this one makes every read and
// write a positioned call on the caller's descriptor and keeps the first failure's errno, which the
// caller turns into a fault after TagLib has saved.
class DescriptorStream final : public TagLib::IOStream {
public:
    DescriptorStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

    int error() const { return error_; }

    TagLib::FileName name() const override { return name_.c_str(); }
    bool readOnly() const override { return false; }
    bool isOpen() const override { return true; }
    long tell() const override { return position_; }

    long length() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            keep(errno);
            return 0;
        }
        return static_cast<long>(st.st_size);
    }

    void seek(long offset, Position from) override {
        switch (from) {
            case Beginning:
                position_ = offset;
                break;
            case Current:
                position_ += offset;
                break;
            case End:
                position_ = length() + offset;
                break;
        }
        position_ = std::max(position_, 0L);
    }

    TagLib::ByteVector readBlock(unsigned long length) override {
        TagLib::ByteVector data(static_cast<unsigned int>(length), 0);
        const size_t got = readAt(data.data(), length, position_);
        data.resize(static_cast<unsigned int>(got));
        position_ += static_cast<long>(got);
        return data;
    }

    void writeBlock(const TagLib::ByteVector& data) override {
        writeAt(data.data(), data.size(), position_);
        position_ += static_cast<long>(data.size());
    }

    // Writes `data` at `start` in place of `replace` bytes, moving what follows.
    void insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace) override {
        if (data.size() > replace) {
            const unsigned long grow = data.size() - replace;
            const auto end = static_cast<unsigned long>(length());
            // From the end backwards, so nothing is overwritten before it has moved.
            for (unsigned long to = end; to > start + replace && error_ == 0;) {
                const unsigned long from = std::max(start + replace, to > kMoveBlock ? to - kMoveBlock : 0);
                moveBlock(from, to - from, from + grow);
                to = from;
            }
        } else if (data.size() < replace) {
            removeBlock(start + data.size(), replace - data.size());
        }
        writeAt(data.data(), data.size(), start);
        position_ = static_cast<long>(start + data.size());
    }

    void removeBlock(unsigned long start, unsigned long length) override {
        const auto end = static_cast<unsigned long>(this->length());
        for (unsigned long from = start + length; from < end && error_ == 0; from += kMoveBlock)
            moveBlock(from, std::min(kMoveBlock, end - from), from - length);
        truncate(static_cast<long>(end - std::min(length, end - start)));
    }

    void truncate(long length) override {
        if (::ftruncate(fd_, length) != 0) keep(errno);
    }

private:
    void keep(int err) {
        if (error_ == 0) error_ = err != 0 ? err : EIO;
    }

    size_t readAt(char* out, unsigned long length, long at) {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd_, out + done, length - done, at + static_cast<long>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) keep(errno);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    }

    void writeAt(const char* data, unsigned long length, unsigned long at) {
        if (error_ != 0) return;
        for (unsigned long done = 0; done < length;) {
            const ssize_t n = ::pwrite(fd_, data + done, length - done, static_cast<off_t>(at + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                keep(n < 0 ? errno : EIO);
                return;
            }
            done += static_cast<unsigned long>(n);
        }
    }

    void moveBlock(unsigned long from, unsigned long length, unsigned long to) {
        buffer_.resize(length);
        if (readAt(buffer_.data(), length, static_cast<long>(from)) != length) {
            keep(EIO);
            return;
        }
        writeAt(buffer_.data(), length, to);
    }

    int fd_;
    std::string name_;
    long position_ = 0;
    int error_ = 0;
    std::vector<char> buffer_;
};

// A frame or picture for TagLib, which takes it over when it is added (and deletes it with its tag).
template <class T, class... Args>
T* handedToTagLib(Args&&... args) {
    return std::make_unique<T>(std::forward<Args>(args)...).release();
}

TagLib::String utf8(const std::string& text) {
    return TagLib::String(text, TagLib::String::UTF8);
}

TagLib::ByteVector bytes(const std::string& data) {
    return TagLib::ByteVector(data.data(), static_cast<unsigned int>(data.size()));
}

base::Fault tagFault(const std::string& name, const std::string& reason) {
    return base::Fault{base::errc::kAccessDenied,
                       "Cannot write the tags of the file \"" + name + "\": " + reason + "."};
}

// Chapter starts and ends in milliseconds, the end of each the start of the next.
struct TimedChapter {
    std::string title;
    uint64_t startMs = 0;
    uint64_t endMs = 0;
};

std::vector<TimedChapter> timedChapters(const core::FileTags& tags, std::span<const core::ChapterMark> marks,
                                        int sampleRate, uint64_t totalFrames) {
    const auto chapters = fileChapters(marks, tags.album.empty() ? tags.title : tags.album, totalFrames);
    std::vector<TimedChapter> timed;
    for (size_t i = 0; i < chapters.size(); ++i) {
        const uint64_t end = i + 1 < chapters.size() ? chapters[i + 1].startFrame : totalFrames;
        timed.push_back(
            {chapters[i].title, core::frameToMs(chapters[i].startFrame, sampleRate), core::frameToMs(end, sampleRate)});
    }
    return timed;
}

void setId3Text(TagLib::ID3v2::Tag& tag, const char* id, const std::string& value) {
    tag.removeFrames(id);
    if (value.empty()) return;
    auto* frame = handedToTagLib<TagLib::ID3v2::TextIdentificationFrame>(id, TagLib::String::UTF8);
    frame->setText(utf8(value));
    tag.addFrame(frame);
}

bool writeMp3(TagLib::IOStream& stream, const core::FileTags& tags, bool cover,
              const std::vector<TimedChapter>& chapters, bool& valid) {
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    valid = file.isValid();
    if (!valid) return false;
    TagLib::ID3v2::Tag& tag = *file.ID3v2Tag(true);
    for (const auto& field : core::tagFields(tags, core::TagFormat::Id3)) setId3Text(tag, field.key, field.value);
    tag.removeFrames("APIC");
    if (cover) {
        auto* picture = handedToTagLib<TagLib::ID3v2::AttachedPictureFrame>();
        picture->setMimeType(std::string(core::imageMimeType(core::imageKind(tags.cover))));
        picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        picture->setPicture(bytes(tags.cover));
        tag.addFrame(picture);
    }
    tag.removeFrames("CHAP");
    tag.removeFrames("CTOC");
    TagLib::ByteVectorList children;
    for (size_t i = 0; i < chapters.size(); ++i) {
        const TagLib::ByteVector id = bytes("chp" + std::to_string(i));
        auto* title = handedToTagLib<TagLib::ID3v2::TextIdentificationFrame>("TIT2", TagLib::String::UTF8);
        title->setText(utf8(chapters[i].title));
        TagLib::ID3v2::FrameList embedded;
        embedded.append(title);  // the chapter frame owns it
        // Byte offsets are not given (all ones): players seek by time.
        tag.addFrame(handedToTagLib<TagLib::ID3v2::ChapterFrame>(id, static_cast<unsigned>(chapters[i].startMs),
                                                                 static_cast<unsigned>(chapters[i].endMs), 0xFFFFFFFFu,
                                                                 0xFFFFFFFFu, embedded));
        children.append(id);
    }
    if (!chapters.empty()) {
        auto* toc = handedToTagLib<TagLib::ID3v2::TableOfContentsFrame>("toc", children);
        toc->setIsTopLevel(true);
        toc->setIsOrdered(true);
        tag.addFrame(toc);
    }
    // ID3v2.3 is the version every player reads; TagLib stores its text as UTF-16 there.
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3,
                     TagLib::File::DoNotDuplicate);
}

TagLib::FLAC::Picture* flacPicture(const std::string& bytesOf, const CoverImage& cover) {
    auto* picture = handedToTagLib<TagLib::FLAC::Picture>();
    picture->setType(TagLib::FLAC::Picture::FrontCover);
    picture->setMimeType(std::string(imageMimeType(cover.kind)));
    picture->setWidth(cover.width);
    picture->setHeight(cover.height);
    picture->setData(bytes(bytesOf));
    return picture;
}

void setXiph(TagLib::Ogg::XiphComment& comment, const core::FileTags& tags, const std::vector<TimedChapter>& chapters,
             std::vector<std::string>& warnings, const std::string& name) {
    for (const auto& field : core::tagFields(tags, core::TagFormat::Xiph)) {
        comment.removeFields(field.key);
        if (!field.value.empty()) comment.addField(field.key, utf8(field.value));
    }
    std::vector<TagLib::String> old;
    for (const auto& field : comment.fieldListMap()) {
        if (field.first.startsWith("CHAPTER")) old.push_back(field.first);
    }
    for (const auto& key : old) comment.removeFields(key);
    if (chapters.size() > kMaxXiphChapters)
        warnings.push_back("Only the first 999 chapters are marked in \"" + name + "\".");
    for (size_t i = 0; i < std::min(chapters.size(), kMaxXiphChapters); ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "CHAPTER%03u", static_cast<unsigned>(i + 1));
        comment.addField(key, utf8(chapterTime(chapters[i].startMs)));
        comment.addField(std::string(key) + "NAME", utf8(chapters[i].title));
    }
}

}  // namespace

std::string chapterTime(uint64_t ms) {
    char text[48];
    std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 3600000),
                  static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

base::Result<std::vector<std::string>> writeFileTags(int fd, const std::string& name, core::FileCodec codec,
                                                     const core::FileTags& given,
                                                     std::span<const core::ChapterMark> marks, int sampleRate,
                                                     uint64_t totalFrames) {
    const core::FileTags tags = fitForTags(given);
    DescriptorStream stream(fd, name);
    const auto chapters = timedChapters(tags, marks, sampleRate, totalFrames);
    std::vector<std::string> warnings;
    std::optional<CoverImage> picture;
    if (!tags.cover.empty()) {
        auto checked = checkCover(tags.cover);
        if (checked)
            picture = checked.value();
        else
            warnings.push_back(coverWarning(name, checked.fault()));
    }
    const bool cover = picture.has_value();
    bool valid = true;
    bool saved = false;
    switch (codec) {
        case core::FileCodec::Mp3:
            saved = writeMp3(stream, tags, cover, chapters, valid);
            break;
        case core::FileCodec::OggVorbis:
        case core::FileCodec::OggOpus: {
            auto save = [&](auto& file) {
                valid = file.isValid();
                if (!valid) return;
                TagLib::Ogg::XiphComment& comment = *file.tag();
                setXiph(comment, tags, chapters, warnings, name);
                comment.removeAllPictures();
                if (cover) comment.addPicture(flacPicture(tags.cover, *picture));
                saved = file.save();
            };
            if (codec == core::FileCodec::OggVorbis) {
                TagLib::Ogg::Vorbis::File file(&stream, false);
                save(file);
            } else {
                TagLib::Ogg::Opus::File file(&stream, false);
                save(file);
            }
            break;
        }
        case core::FileCodec::Flac: {
            TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
            valid = file.isValid();
            if (!valid) break;
            setXiph(*file.xiphComment(true), tags, chapters, warnings, name);
            file.removePictures();
            if (cover) file.addPicture(flacPicture(tags.cover, *picture));
            saved = file.save();
            break;
        }
        default:
            return base::Fault{base::errc::kUnexpected, "Tags of this kind of file are not written with TagLib."};
    }
    if (stream.error() != 0) return tagFault(name, base::fileErrorReason(stream.error()));
    if (!valid) return tagFault(name, "it is not a file of its kind");
    if (!saved) return tagFault(name, "TagLib could not save them");
    return warnings;
}

}  // namespace speech::audio::media
