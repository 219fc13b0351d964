// Names and texts from outside (device names, link targets, USB descriptors, paths) made safe to
// put on a terminal or in a message: a crafted name must not move the cursor, retitle the
// terminal or split a line.
#pragma once

#include <string>
#include <string_view>

// `text` with every control character shown as <XX>, one per byte: the C0 controls (LF, CR and ESC
// among them), DEL, the C1 controls (U+0080 to U+009F, which some terminals obey as ESC sequences),
// and every byte that is not part of valid UTF-8. Valid UTF-8 otherwise stays as it is, so a name in
// the user's language is shown legibly.
std::string ShownText(std::string_view text);
