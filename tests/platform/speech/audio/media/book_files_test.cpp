// SPDX-License-Identifier: GPL-3.0-or-later
// Every kind of file a book is written to, as a whole book (chapters, the book's tags, a cover) and as
// one chapter of a book (its track, no marks), read back through libavformat (what ffprobe shows and
// most players use) and through the library that reads its tags (TagLib, libsndfile); the MP4 writer's
// parts, encoded side by side, joined into one stream; and failures that are faults naming the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/tag.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "speech/audio/file_encoder.h"
#include "speech/audio/media/file_tags.h"
#include "speech/audio/media/mp4_writer.h"
#include "speech/audio/wave_markers.h"
#include "speech/core/constants.h"
#include "speech/streams.h"
#include "tests/support/audio_files.h"
#include "tests/support/test_files.h"

namespace speech::audio::media {
namespace {

using testing_support::TempDir;

struct Kind {
    const char* extension;
    FileCodec codec;
    bool mp4;
    int rate;  // Opus is written at 48 kHz, the others at the engine's 22.05 kHz
};

const Kind kKinds[] = {
    {".m4b", FileCodec::M4b, true, 22050},       {".m4a", FileCodec::M4a, true, 22050},
    {".mp3", FileCodec::Mp3, false, 22050},      {".ogg", FileCodec::OggVorbis, false, 22050},
    {".opus", FileCodec::OggOpus, false, 48000}, {".flac", FileCodec::Flac, false, 22050},
    {".wav", FileCodec::Wav, false, 22050},
};

class Fd {
public:
    Fd(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

template <class T>
T orThrow(Result<T> r) {
    if (!r) throw std::runtime_error(r.fault().message);
    return std::move(r.value());
}
void orThrow(Result<void> r) {
    if (!r) throw std::runtime_error(r.fault().message);
}

// Writes 16-bit mono `samples` as a file of `kind` through a file stream, as a render does: the tags
// given before it opens, the marks before it closes. The warnings; a failure throws.
std::vector<std::string> writeBook(const Kind& kind, const std::string& path, const std::vector<int16_t>& samples,
                                   const std::optional<FileTags>& tags, const std::vector<ChapterMark>& marks) {
    SpFileStream file;
    file.Format().SetType(SAFT22kHz16BitMono);
    file.setCodec(kind.codec);
    file.setTags(tags);
    file.Open(path);
    if (file.Format().wave().sampleRate != kind.rate) throw std::runtime_error("not the rate of the samples");
    const std::span bytes(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2);
    for (size_t at = 0; at < bytes.size(); at += 20000)
        orThrow(file.writeBytes(bytes.subspan(at, std::min<size_t>(20000, bytes.size() - at))));
    file.setChapterMarks(marks);
    file.Close();
    return file.warnings();
}

// The same for the MP4 writer alone, with its choice of threads.
void writeMp4(const std::string& path, const std::vector<int16_t>& samples, const Mp4Choice& choice) {
    Fd fd(path, O_RDWR | O_CREAT | O_TRUNC);
    auto writer = orThrow(media::makeMp4Writer(fd.get(), path, WaveFormat{22050, 16, 1}, choice, {}));
    const std::span bytes(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2);
    for (size_t at = 0; at < bytes.size(); at += 20000)
        orThrow(writer->write(bytes.subspan(at, std::min<size_t>(20000, bytes.size() - at))));
    orThrow(writer->finish({}));
}

struct Case {
    Kind kind;
    bool wholeBook;
};

// Named in test listings by what it writes (gtest would print the bytes, a pointer among them).
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.kind.extension << (c.wholeBook ? " book" : " chapter");
}

class BookFiles : public testing::TestWithParam<Case> {};

TEST_P(BookFiles, TagsAndChaptersReadBack) {
    const Case c = GetParam();
    const int rate = c.kind.rate;
    const auto samples = testing_support::speechLike(static_cast<uint64_t>(6 * rate), rate, 7);
    const BookInfo book{"Moby-Dick; or, The Whale", "Herman Melville", "1851-10-18",
                        testing_support::jpegImage(64, 80)};
    const FileTags tags = c.wholeBook ? bookFileTags(book) : chapterFileTags(book, "Loomings", 3, 135);
    // The first chapter starts after some text of its own; titles with other scripts, quotes, a
    // right-to-left override and a line break, which a player must not be given as they are.
    std::vector<ChapterMark> marks;
    if (c.wholeBook) {
        marks = {{"Chapter 1. Loomings", static_cast<uint64_t>(rate) + 17},
                 {"第二章 «Le Départ»", static_cast<uint64_t>(rate) * 5 / 2 + 3},
                 {"\u202Eפרק שלישי\n", static_cast<uint64_t>(rate) * 21 / 5}};
    }
    const auto expected = fileChapters(marks, book.title, samples.size());
    ASSERT_EQ(expected.size(), c.wholeBook ? 4u : 0u);

    TempDir dir;
    const std::string path = dir.file(std::string("book") + c.kind.extension);
    EXPECT_TRUE(writeBook(c.kind, path, samples, tags, marks).empty());

    const auto probe = testing_support::probe(path);
    ASSERT_TRUE(probe.opened);
    EXPECT_NEAR(probe.durationMs, 6000.0, 100.0);
    const auto tag = [&](const char* key) { return probe.tags.contains(key) ? probe.tags.at(key) : std::string(); };
    EXPECT_EQ(tag("title"), tags.title);
    EXPECT_EQ(tag("artist"), "Herman Melville");
    EXPECT_EQ(tag("album"), "Moby-Dick; or, The Whale");
    EXPECT_EQ(tag("genre"), "Audiobook");
    EXPECT_EQ(tag("date"), "1851");
    if (!c.wholeBook) {
        EXPECT_EQ(tag("track").substr(0, 1), "3");
    }

    // Every chapter where it starts, in whole milliseconds rounded down (WAV: to the frame), titled.
    ASSERT_EQ(probe.chapters.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const double exact = static_cast<double>(expected[i].startFrame) * 1000.0 / rate;
        EXPECT_NEAR(probe.chapters[i].startMs, exact, 1.0);
        EXPECT_LE(probe.chapters[i].startMs, exact + 1e-6);
        EXPECT_EQ(probe.chapters[i].title, expected[i].title);
    }
    if (c.kind.codec != FileCodec::Wav || c.kind.mp4) {
        EXPECT_EQ(probe.coverPictures, 1);
        EXPECT_EQ(probe.coverWidth, 64);
        if (c.kind.mp4) {
            EXPECT_EQ(probe.audioCodec, "aac");
        }
        if (c.kind.codec == FileCodec::Mp3 && c.wholeBook) {
            // The table of contents that lists the chapters in order, which some players need.
            TagLib::MPEG::File mp3(path.c_str());
            const auto& tocs = mp3.ID3v2Tag()->frameListMap()["CTOC"];
            ASSERT_EQ(tocs.size(), 1u);
            EXPECT_EQ(dynamic_cast<TagLib::ID3v2::TableOfContentsFrame*>(tocs.front())->entryCount(), expected.size());
        }
        const TagLib::FileRef ref(path.c_str());
        ASSERT_FALSE(ref.isNull());
        EXPECT_EQ(ref.tag()->title().to8Bit(true), tags.title);
        EXPECT_EQ(ref.tag()->artist().to8Bit(true), "Herman Melville");
        EXPECT_EQ(ref.tag()->track(), c.wholeBook ? 0u : 3u);
        return;
    }
    // WAV: the points exact to the frame and their labels, through libsndfile; every frame reads back
    // as written (the chunks after the audio are not taken for audio).
    const auto cues = testing_support::waveCues(path);
    ASSERT_EQ(cues.points.size(), expected.size());
    ASSERT_EQ(cues.labels.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(cues.points[i].second, expected[i].startFrame);
        EXPECT_EQ(cues.labels[i], std::make_pair(cues.points[i].first, expected[i].title));
    }
    const auto decoded = testing_support::decodeAudio(path);
    ASSERT_EQ(decoded.size(), samples.size());
    for (size_t i = 0; i < samples.size(); i += 997) EXPECT_EQ(decoded[i], samples[i] / 32768.0f);
}

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (const Kind& kind : kKinds)
        for (bool wholeBook : {true, false}) cases.push_back({kind, wholeBook});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, BookFiles, testing::ValuesIn(allCases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.kind.extension + 1) +
                                    (info.param.wholeBook ? "_book" : "_chapter");
                         });

// Error power against the input in [from, to), in dB relative to the input's power there.
double errorDb(const std::vector<float>& decoded, const std::vector<int16_t>& input, size_t from, size_t to) {
    double signal = 0;
    double noise = 0;
    for (size_t i = from; i < to; ++i) {
        const double x = input[i] / 32768.0;
        signal += x * x;
        noise += (decoded[i] - x) * (decoded[i] - x);
    }
    return 10 * std::log10((noise + 1e-20) / (signal + 1e-20));
}

TEST(Mp4Writer, PartsEncodedSideBySideMakeOneStream) {
    // 40 s: four parts of twelve seconds, cut at fixed places whatever the threads.
    const auto samples = testing_support::speechLike(40 * 22050, 22050, 11);
    TempDir dir;
    std::vector<std::string> files;
    for (const int threads : {0, 1, 2}) {
        const std::string path = dir.file("threads" + std::to_string(threads) + ".m4a");
        Mp4Choice choice;
        choice.audiobook = false;
        choice.threads = threads;
        writeMp4(path, samples, choice);
        files.push_back(testing_support::readFile(path));
    }
    EXPECT_EQ(files[1], files[0]);
    EXPECT_EQ(files[2], files[0]);
    // As long as the input (the decoder gives the last frame whole, past the end the file states),
    // starting where it starts, and the joins between parts sound as the rest: a join whose frames did
    // not overlap would be as loud as the signal there (0 dB).
    const auto decoded = testing_support::decodeAudio(dir.file("threads2.m4a"));
    ASSERT_GE(decoded.size(), samples.size());
    ASSERT_LT(decoded.size(), samples.size() + 1024);
    EXPECT_NEAR(testing_support::probe(dir.file("threads2.m4a")).durationMs, 40000.0, 1.0);
    const double whole = errorDb(decoded, samples, 0, samples.size());
    EXPECT_LT(whole, -15.0);
    for (const size_t join : {size_t{262144}, size_t{524288}, size_t{786432}}) {
        SCOPED_TRACE(join);
        EXPECT_LT(errorDb(decoded, samples, join - 2048, join + 2048), whole + 6.0);
    }
}

TEST(Mp4Writer, BitRateFollowsTheQuality) {
    const WaveFormat mono{22050, 16, 1};
    EXPECT_EQ(aacBitRate(std::nullopt, mono), aacBitRate(0.5, mono));
    EXPECT_LT(aacBitRate(0.0, mono), aacBitRate(0.1, mono));
    EXPECT_LT(aacBitRate(0.9, mono), aacBitRate(1.0, mono));
    EXPECT_EQ(aacBitRate(0.5, WaveFormat{22050, 16, 2}), 2 * aacBitRate(0.5, mono));
    EXPECT_EQ(aacBitRate(1.0, WaveFormat{8000, 16, 2}), 2 * 48000);  // 6144 bits a frame
    // What the encoder gives on speech, about 64 kbit/s by default.
    const auto samples = testing_support::speechLike(60 * 22050, 22050, 5);
    TempDir dir;
    writeMp4(dir.file("rate.m4a"), samples, Mp4Choice{});
    EXPECT_NEAR(static_cast<double>(testing_support::probe(dir.file("rate.m4a")).bitRate), 64000.0, 10000.0);
}

// Each writer, given a file it can grow by only a few kilobytes, on a minute of a book with a cover.
TEST(BookFileFailures, AFailedWriteIsAFaultNamingTheFile) {
    const FileTags tags = bookFileTags(BookInfo{"Title", "Author", "2001", testing_support::pngImage(300, 300)});
    const std::vector<ChapterMark> marks{{"One", 0}, {"Two", 22050 * 30}};
    for (const Kind& kind : kKinds) {
        if (std::string(kind.extension) == ".m4a") continue;
        SCOPED_TRACE(kind.extension);
        TempDir dir;
        const std::string path = dir.file(std::string("book") + kind.extension);
        const auto samples = testing_support::speechLike(static_cast<uint64_t>(60 * kind.rate), kind.rate, 3);
        std::string fault;
        try {
            // The MP4 writer fails on its audio; the others have their audio whole and fail on the tags
            // and marks.
            if (!kind.mp4) writeBook(kind, path, samples, std::nullopt, {});
            const testing_support::FileSizeLimit limit(kind.mp4 ? 64 << 10
                                                                : testing_support::readFile(path).size() + 16);
            if (kind.mp4) {
                writeBook(kind, path, samples, tags, marks);
            } else {
                Fd fd(path, O_RDWR);
                if (kind.codec == FileCodec::Wav)
                    orThrow(appendWaveMarkers(fd.get(), path, tags, marks));
                else
                    orThrow(writeFileTags(fd.get(), path, kind.codec, tags, marks, kind.rate, samples.size()));
            }
        } catch (const std::exception& e) {
            fault = e.what();
        }
        EXPECT_NE(fault.find(path), std::string::npos) << fault;
        EXPECT_NE(fault.find("too large"), std::string::npos) << fault;
    }
}

TEST(BookFileFailures, ABrokenCoverIsLeftOutWithAWarning) {
    const std::string jpeg = testing_support::jpegImage(64, 64);
    const std::string png = testing_support::pngImage(64, 64);
    const std::string covers[] = {"not an image at all", jpeg.substr(0, jpeg.size() / 3),
                                  png.substr(0, 40) + std::string(200, '\0')};
    for (const Kind& kind : {kKinds[0], kKinds[2], kKinds[5]}) {
        for (const auto& cover : covers) {
            SCOPED_TRACE(kind.extension);
            TempDir dir;
            const std::string path = dir.file(std::string("book") + kind.extension);
            const auto warnings = writeBook(kind, path, testing_support::speechLike(22050, 22050, 1),
                                            bookFileTags(BookInfo{"Title", "Author", "", cover}), {{"Title", 0}});
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_NE(warnings[0].find("The cover image is left out of"), std::string::npos) << warnings[0];
            const auto probe = testing_support::probe(path);
            EXPECT_TRUE(probe.opened);
            EXPECT_EQ(probe.coverPictures, 0);
            EXPECT_EQ(probe.chapters.size(), 1u);
        }
    }
}

}  // namespace
}  // namespace speech::audio::media
