#include "archive/exifWriter.h"

#include <exiv2/exiv2.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/fileIo.h"
#include "core/handles.h"
#include "core/logging.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads the picture to its end, whatever size it claimed when opened.
bool readWhole(const std::string& path, Bytes* data, struct stat* info) {
    FdPtr fd{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd || fstat(fd.get(), info) != 0) return false;
    data->resize(static_cast<size_t>(info->st_size) + 65536);
    size_t got = 0;
    for (ssize_t n; (n = read(fd.get(), data->data() + got, data->size() - got)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        got += static_cast<size_t>(n);
        if (got == data->size()) data->resize(2 * got);
    }
    data->resize(got);
    return true;
}

// Offset of a JPEG's start-of-scan marker, where its image data begins; none for other files.
std::optional<size_t> jpegScanStart(const uint8_t* p, size_t size) {
    if (size < 4 || p[0] != 0xFF || p[1] != 0xD8) return std::nullopt;
    size_t at = 2;
    while (at + 4 <= size && p[at] == 0xFF) {
        uint8_t marker = p[at + 1];
        if (marker == 0xDA) return at;
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) at += 2;
        else at += 2 + static_cast<size_t>((p[at + 2] << 8) | p[at + 3]);
    }
    return std::nullopt;
}

bool isXmp(const std::string& key) {
    return key.rfind("Xmp.", 0) == 0;
}

// The value of an Exif or Xmp key as the image holds it; none when it has no such tag.
std::optional<std::string> readBack(Exiv2::Image& image, const std::string& key) {
    if (isXmp(key)) {
        auto found = image.xmpData().findKey(Exiv2::XmpKey(key));
        if (found == image.xmpData().end()) return std::nullopt;
        return found->toString();
    }
    auto found = image.exifData().findKey(Exiv2::ExifKey(key));
    if (found == image.exifData().end()) return std::nullopt;
    return found->toString();
}

// Why the tagged bytes may not replace the picture; empty when they may.
std::string checkTagged(const Bytes& original, const uint8_t* tagged, size_t size,
                        const std::vector<ExifSetting>& settings, const std::vector<std::string>& expected) {
    if (size < original.size())
        return "tagged version smaller than the picture (" + std::to_string(size) + " of " +
               std::to_string(original.size()) + " bytes)";
    std::optional<size_t> before = jpegScanStart(original.data(), original.size());
    std::optional<size_t> after = jpegScanStart(tagged, size);
    if (before && (!after || size - *after != original.size() - *before ||
                   std::memcmp(tagged + *after, original.data() + *before, size - *after) != 0))
        return "image data changed in tagging";
    Exiv2::Image::AutoPtr check = Exiv2::ImageFactory::open(tagged, static_cast<long>(size));
    check->readMetadata();
    for (size_t i = 0; i < settings.size(); ++i) {
        if (settings[i].registers) continue;
        if (readBack(*check, settings[i].key) != expected[i]) return settings[i].key + " does not read back as written";
    }
    return "";
}

// The picture with the settings, made in memory (in the image's io, read through its mmap);
// expected receives each value as it will read back. Null, with failure set, on a bad value.
Exiv2::Image::AutoPtr tagInMemory(const Bytes& original, const std::vector<ExifSetting>& settings,
                                  std::vector<std::string>* expected, std::string* failure) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(original.data(), static_cast<long>(original.size()));
    image->readMetadata();
    for (const ExifSetting& s : settings) {
        if (s.registers) {
            Exiv2::XmpProperties::registerNs(s.value, s.key);
            expected->emplace_back();
            continue;
        }
        Exiv2::Metadatum& datum = isXmp(s.key) ? static_cast<Exiv2::Metadatum&>(image->xmpData()[s.key])
                                               : image->exifData()[s.key];
        if (datum.setValue(s.value) != 0) {
            *failure = "bad value for " + s.key + ": " + s.value;
            return Exiv2::Image::AutoPtr();
        }
        expected->push_back(datum.toString());
    }
    image->writeMetadata();
    image->io().open();
    return image;
}

bool hasRoom(const std::string& dir, size_t bytes) {
    struct statvfs fs;
    if (statvfs(dir.c_str(), &fs) != 0) return true; // let the write itself tell
    return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize >= bytes + taggingRoomMargin;
}

bool cardFullError(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG;
}

// Writes data to tmp with the picture's mode and times, flushed to the card; errno tells why not.
bool writeSynced(const std::string& tmp, const uint8_t* data, size_t size, const struct stat& picture) {
    FdPtr fd{open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, picture.st_mode & 07777)};
    if (!fd || !writeAll(fd.get(), data, size)) return false;
    // The picture's own time stays: a later pass reads the camera's times, not this write's.
    const struct timespec times[2] = {picture.st_atim, picture.st_mtim};
    return futimens(fd.get(), times) == 0 && fsync(fd.get()) == 0 && close(fd.release()) == 0;
}

void logExivMessage(int, const char* text) {
    logPrintf("vorn-camera exiv2 %s%s", text, text[0] && text[std::strlen(text) - 1] == '\n' ? "" : "\n");
}

} // namespace

std::vector<ExifSetting> exifSettings(const std::vector<std::string>& args) {
    std::vector<ExifSetting> settings;
    for (const std::string& arg : args) {
        for (size_t at = arg.find('"'); at != std::string::npos; at = arg.find('"', at)) {
            size_t end = arg.find('"', at + 1);
            if (end == std::string::npos) break;
            std::string command = arg.substr(at + 1, end - at - 1);
            size_t keyStart = command.find(' ') + 1, keyEnd = command.find(' ', keyStart);
            bool registers = command.rfind("reg ", 0) == 0;
            if ((registers || command.rfind("set ", 0) == 0) && keyEnd != std::string::npos)
                settings.push_back({command.substr(keyStart, keyEnd - keyStart), command.substr(keyEnd + 1), registers});
            at = end + 1;
        }
    }
    return settings;
}

TagResult writeTagsAside(const std::string& path, const std::vector<ExifSetting>& settings, std::string* failure) {
    static const bool routed = (Exiv2::LogMsg::setHandler(logExivMessage), true); // once, into our log
    (void)routed;
    Bytes original;
    struct stat picture {};
    if (!readWhole(path, &original, &picture)) {
        *failure = std::string("cannot be read: ") + std::strerror(errno);
        return TagResult::Failed;
    }
    // The original, the tagged version and nothing more in memory: on the board a picture may
    // take 20 MB.
    Exiv2::Image::AutoPtr image;
    const uint8_t* tagged = nullptr;
    size_t size = 0;
    std::vector<std::string> expected;
    try {
        image = tagInMemory(original, settings, &expected, failure);
        if (!image.get()) return TagResult::Failed;
        tagged = image->io().mmap();
        size = static_cast<size_t>(image->io().size());
        *failure = checkTagged(original, tagged, size, settings, expected);
    } catch (const std::exception& e) {
        *failure = std::string("exiv2: ") + e.what();
    }
    if (!failure->empty()) return TagResult::Failed;

    const std::string dir = directoryOf(path), tmp = dir + "/" + taggingTempName;
    if (!hasRoom(dir, size)) {
        *failure = "card full: no room for " + std::to_string(size) + " bytes";
        return TagResult::CardFull;
    }
    if (!writeSynced(tmp, tagged, size, picture) || std::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        std::remove(tmp.c_str());
        *failure = (cardFullError(err) ? "card full: " : "cannot be written: ") + std::string(std::strerror(err));
        return cardFullError(err) ? TagResult::CardFull : TagResult::Failed;
    }
    syncPath(dir); // the rename itself
    return TagResult::Tagged;
}

void removeTaggingLeftover(const std::string& dir) {
    std::string tmp = dir + "/" + taggingTempName;
    if (std::remove(tmp.c_str()) == 0)
        logPrintf("vorn-camera updatePairedImages removed %s, left by a tagging cut short\n", tmp.c_str());
}
