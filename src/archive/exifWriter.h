// Writes a picture's EXIF tags without ever putting the picture at risk: the tagged version is
// made in memory, checked, written to a temporary file beside the picture, flushed to the card and
// only then renamed over the picture. A power cut or a full card leaves the picture as it was.
#pragma once

#include <string>
#include <vector>

// One "set KEY VALUE" of an exiv2 -M argument text (an Exif or an Xmp key), or a "reg PREFIX URI"
// that registers an XMP namespace (key PREFIX, value URI).
struct ExifSetting {
    std::string key;
    std::string value;
    bool registers = false;
};

// The settings of exiv2 -M argument texts ("-M \"set KEY VALUE\"", several per text), in order.
std::vector<ExifSetting> exifSettings(const std::vector<std::string>& args);

// The temporary file in a picture's directory while the picture is being tagged.
inline constexpr const char* taggingTempName = "vorn-tagging.tmp";

// Room the card must have beyond the tagged picture: its file system's own bookkeeping.
inline constexpr unsigned long long taggingRoomMargin = 1ull << 20;

enum class TagResult {
    Tagged,   // the picture was replaced by its tagged version
    Failed,   // the picture is untouched: it could not be read, tagged, checked or written
    CardFull, // the picture is untouched: the card has no room for its tagged version
};

// Replaces the picture at path by a tagged copy of itself carrying the settings (values in the
// key's default EXIF type, as exiv2 sets them). The copy keeps the picture's file times and mode;
// it replaces the picture only when the tags read back as written, it is no smaller than the
// picture and a JPEG's image data is byte for byte the picture's. failure receives why not.
TagResult writeTagsAside(const std::string& path, const std::vector<ExifSetting>& settings, std::string* failure);

// Removes the temporary file a tagging cut short left in dir (logged when there was one).
void removeTaggingLeftover(const std::string& dir);
