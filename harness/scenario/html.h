// What the HTML pages qvihost writes share: their head and style, and text
// made safe to show.
#pragma once

#include <string>

namespace qvi::scenario {

// UTF-8 text for a page: markup characters escaped, control characters shown
// as <0x07> in their own colour rather than lost or taken as layout.
std::string HtmlText(const std::string& utf8);

// The start of a self-contained page titled "qvihost: NAME", up to and with
// its <h1>. Its style marks removals (class "del"), additions ("add"),
// changes ("chg"), failures ("failed") and control characters ("ctl").
std::string HtmlPageHead(const std::string& name);

}  // namespace qvi::scenario
