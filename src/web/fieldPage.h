// The field page itself (fieldPage.html: markup, style and script in one file, nothing fetched
// from elsewhere), built into the daemon.
#pragma once

#include <cstddef>

extern const char fieldPageHtml[];
extern const size_t fieldPageHtml_size;
