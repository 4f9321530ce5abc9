// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "base/paths.h"
#include "speech/audio/wave_markers.h"

// Defined when the media parts are linked into the program itself (a static build, as the fuzzers
// are): then they are called directly and nothing is loaded.
extern "C" [[gnu::weak]] const speech::audio::MediaFunctions* tallamo_media_functions();

namespace speech::audio {

namespace {

struct Module {
    const MediaFunctions* functions = nullptr;
    std::string error;  // why it could not be loaded
};

Module load() {
    if (&tallamo_media_functions != nullptr) return Module{tallamo_media_functions(), {}};
    Module module;
    module.error = "The audiobook writer (" + std::string(kMediaModule) +
                   ") is not installed beside the program or under libexec/tallamo.";
    for (const auto& candidate : base::installedPartCandidates(kMediaModule)) {
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec)) continue;
        // Never closed: the writers it makes live as long as their files, and its encoder threads with them.
        void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            module.error =
                "The audiobook writer could not be loaded: " + std::string(why != nullptr ? why : "unknown error") +
                ".";
            continue;
        }
        auto entry = reinterpret_cast<const MediaFunctions* (*)()>(::dlsym(handle, kMediaEntry));
        if (entry == nullptr) {
            module.error = candidate.lexically_normal().string() + " is not the audiobook writer.";
            continue;
        }
        module.functions = entry();
        return module;
    }
    return module;
}

}  // namespace

base::Result<const MediaFunctions*> mediaFunctions() {
    static std::once_flag once;
    static Module module;
    std::call_once(once, [] { module = load(); });
    if (module.functions == nullptr) return base::Fault{base::errc::kUnsupportedFormat, module.error};
    return module.functions;
}

base::Result<std::unique_ptr<Mp4Writer>> openMp4Writer(int fd, const std::string& name, const core::WaveFormat& format,
                                                       const Mp4Choice& choice, const core::FileTags& tags,
                                                       int64_t firstPart) {
    auto functions = mediaFunctions();
    if (!functions) return functions.fault();
    return functions.value()->openMp4(fd, name, format, choice, tags, firstPart);
}

base::Result<std::unique_ptr<AacPartEncoder>> openAacPartEncoder(const core::WaveFormat& format,
                                                                 const Mp4Choice& choice, int64_t firstPart) {
    auto functions = mediaFunctions();
    if (!functions) return functions.fault();
    return functions.value()->openAacParts(format, choice, firstPart);
}

base::Result<std::vector<std::string>> markFinishedFile(int fd, const std::string& name, core::FileCodec codec,
                                                        const core::WaveFormat& format, uint64_t totalFrames,
                                                        const core::FileTags& tags,
                                                        std::span<const core::ChapterMark> chapters) {
    switch (codec) {
        case core::FileCodec::Wav:
            return appendWaveMarkers(fd, name, tags, chapters);
        case core::FileCodec::Flac:
        case core::FileCodec::OggVorbis:
        case core::FileCodec::OggOpus:
        case core::FileCodec::Mp3: {
            auto functions = mediaFunctions();
            if (!functions) return functions.fault();
            return functions.value()->writeFileTags(fd, name, codec, tags, chapters, format.sampleRate, totalFrames);
        }
        case core::FileCodec::M4b:
        case core::FileCodec::M4a:
            break;
    }
    return std::vector<std::string>();
}

}  // namespace speech::audio
