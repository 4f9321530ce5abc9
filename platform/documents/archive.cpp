// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/archive.h"

#include <zip.h>

#include <vector>

namespace documents::detail {

struct Archive::Handle {
    zip_t* zip = nullptr;
    ~Handle() {
        if (zip) zip_discard(zip);
    }
};

namespace {

struct EntryCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};

std::string sizeText(uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

base::Fault openFault(const Input& input, int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    if (code == ZIP_ER_NOENT) return fault(base::errc::kNotFound, input, "does not exist.");
    if (code == ZIP_ER_OPEN || code == ZIP_ER_READ) {
        return fault(base::errc::kAccessDenied, input, "cannot be read (" + why + ").");
    }
    return fault(errc::kDamaged, input, "is a damaged or incomplete archive (" + why + ").");
}

}  // namespace

// An entry read a chunk at a time; every byte counts against the archive's limit.
class EntryStream final : public ByteStream {
public:
    EntryStream(Archive& archive, zip_file_t* file, uint64_t compressed)
        : archive_(archive), file_(file), compressed_(compressed) {}

    base::Result<size_t> read(std::span<char> out) override {
        const zip_int64_t got = zip_fread(file_.get(), out.data(), out.size());
        if (got < 0) {
            return fault(errc::kDamaged, archive_.input_,
                         std::string("is damaged: an entry cannot be read (") + zip_file_strerror(file_.get()) + ").");
        }
        const auto n = static_cast<uint64_t>(got);
        archive_.expanded_ += n;
        read_ += n;
        const Limits& limits = archive_.limits_;
        if (archive_.expanded_ > limits.maxExpandedBytes) {
            return fault(errc::kTooLarge, archive_.input_,
                         "is too large to read: it expands past " + sizeText(limits.maxExpandedBytes) + ".");
        }
        if (read_ > limits.ratioFloor && read_ / limits.maxRatio > compressed_) {
            return fault(
                errc::kTooLarge, archive_.input_,
                "is too large to read: an entry expands more than " + std::to_string(limits.maxRatio) + " times.");
        }
        return static_cast<size_t>(n);
    }

private:
    Archive& archive_;
    std::unique_ptr<zip_file_t, EntryCloser> file_;
    uint64_t compressed_;
    uint64_t read_ = 0;
};

Archive::~Archive() = default;

base::Result<std::unique_ptr<Archive>> Archive::open(const Input& input, const Limits& limits) {
    std::unique_ptr<Archive> archive(new Archive());
    archive->handle_ = std::make_unique<Handle>();
    archive->input_ = input;
    archive->limits_ = limits;
    if (input.bytes) {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_buffer_create(input.bytes->data(), input.bytes->size(), 0, &error);
        if (source) {
            archive->handle_->zip = zip_open_from_source(source, ZIP_RDONLY, &error);
            if (!archive->handle_->zip) zip_source_free(source);
        }
        const int code = zip_error_code_zip(&error);
        zip_error_fini(&error);
        if (!archive->handle_->zip) return openFault(input, code);
    } else {
        int code = 0;
        archive->handle_->zip = zip_open(input.path.c_str(), ZIP_RDONLY, &code);
        if (!archive->handle_->zip) return openFault(input, code);
    }
    return archive;
}

std::optional<uint64_t> Archive::find(std::string_view name) const {
    const std::string n(name);
    zip_int64_t index = zip_name_locate(handle_->zip, n.c_str(), 0);
    if (index < 0) index = zip_name_locate(handle_->zip, n.c_str(), ZIP_FL_NOCASE);
    if (index < 0) return std::nullopt;
    return static_cast<uint64_t>(index);
}

base::Result<uint64_t> Archive::check(uint64_t index) const {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(handle_->zip, index, 0, &st) != 0) {
        return fault(errc::kDamaged, input_, "is damaged: an entry's header cannot be read.");
    }
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE) {
        return fault(errc::kProtected, input_, "is encrypted and cannot be read.");
    }
    if ((st.valid & ZIP_STAT_SIZE) && st.size > limits_.maxExpandedBytes) {
        return fault(errc::kTooLarge, input_,
                     "is too large to read: it expands past " + sizeText(limits_.maxExpandedBytes) + ".");
    }
    if ((st.valid & ZIP_STAT_SIZE) && (st.valid & ZIP_STAT_COMP_SIZE) && st.size > limits_.ratioFloor &&
        st.size / limits_.maxRatio > st.comp_size) {
        return fault(
            errc::kTooLarge, input_,
            "is too large to read: an entry expands more than " + std::to_string(limits_.maxRatio) + " times.");
    }
    return (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
}

base::Result<std::unique_ptr<ByteStream>> Archive::openEntry(uint64_t index) {
    if (auto ok = check(index); !ok) return ok.fault();
    zip_stat_t st;
    zip_stat_init(&st);
    zip_stat_index(handle_->zip, index, 0, &st);
    zip_file_t* file = zip_fopen_index(handle_->zip, index, 0);
    if (!file) {
        zip_error_t* error = zip_get_error(handle_->zip);
        const int code = zip_error_code_zip(error);
        if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_ENCRNOTSUPP || code == ZIP_ER_WRONGPASSWD) {
            return fault(errc::kProtected, input_, "is encrypted and cannot be read.");
        }
        return fault(errc::kDamaged, input_,
                     std::string("is damaged: an entry cannot be opened (") + zip_error_strerror(error) + ").");
    }
    const uint64_t compressed = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
    return std::unique_ptr<ByteStream>(std::make_unique<EntryStream>(*this, file, compressed));
}

base::Result<std::optional<std::string>> Archive::readIfPresent(std::string_view name) {
    const auto index = find(name);
    if (!index) return std::optional<std::string>();
    auto stream = openEntry(*index);
    if (!stream) return stream.fault();
    std::string whole;
    for (;;) {
        const size_t at = whole.size();
        whole.resize(at + 65536);
        auto got = stream.value()->read(std::span<char>(whole).subspan(at));
        if (!got) return got.fault();
        whole.resize(at + got.value());
        if (got.value() == 0) return std::optional<std::string>(std::move(whole));
        if (whole.size() > limits_.maxMetadataBytes) {
            return fault(errc::kTooLarge, input_,
                         "is too large to read: \"" + std::string(name) + "\" holds more than " +
                             sizeText(limits_.maxMetadataBytes) + ".");
        }
    }
}

base::Result<std::string> Archive::readWhole(std::string_view name) {
    auto read = readIfPresent(name);
    if (!read) return read.fault();
    if (!read.value()) return fault(errc::kDamaged, input_, "is damaged: \"" + std::string(name) + "\" is missing.");
    return std::move(*read.value());
}

}  // namespace documents::detail
