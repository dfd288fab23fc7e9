#include "scenario/test_page.h"

#include <sstream>

#include "scenario/html.h"

namespace qvi::scenario {

namespace {

std::string Marked(const char* mark, const std::string& text) {
  return "<span class=\"" + std::string(mark) + "\">" + HtmlText(text) + "</span>\n";
}

// An unmet expectation in the lines the console shows it in.
void HtmlUnmet(std::ostream& out, const UnmetExpectation& unmet) {
  out << HtmlText(unmet.where) << "\n" << Marked("del", "  expected: " + unmet.expected)
      << Marked("add", "  seen:     " + unmet.seen);
  for (const std::string& line : unmet.diff) {
    const char* mark = line.starts_with("- ") ? "del" : line.starts_with("+ ") ? "add" : nullptr;
    out << (mark ? Marked(mark, "    " + line) : HtmlText("    " + line) + "\n");
  }
}

}  // namespace

std::string HtmlTests(const std::vector<TestedScenario>& tests, const std::vector<std::string>& skipped) {
  std::size_t failed = 0;
  for (const TestedScenario& test : tests) failed += test.results.unmet.empty() ? 0 : 1;
  std::ostringstream out;
  out << HtmlPageHead("test") << "<p" << (failed > 0 ? " class=\"failed\"" : "") << ">" << tests.size() - failed
      << " passed, " << failed << " failed</p>\n";
  for (const TestedScenario& test : tests) {
    const ExpectationResults& r = test.results;
    const std::string place = HtmlText(test.name) + " (" + HtmlText(test.file) + ")";
    if (r.unmet.empty()) {
      out << "<h2>PASS " << place << "</h2>\n<p>" << r.checked << " expectations met</p>\n";
      continue;
    }
    out << "<h2 class=\"failed\">FAIL " << place << "</h2>\n<p class=\"failed\">" << r.unmet.size() << " of "
        << r.checked << " expectations not met</p>\n<pre>";
    for (const UnmetExpectation& unmet : r.unmet) HtmlUnmet(out, unmet);
    out << "</pre>\n";
  }
  for (const std::string& file : skipped) out << "<p>SKIP " << HtmlText(file) << ": no \"expect\" section</p>\n";
  out << "</body></html>\n";
  return out.str();
}

}  // namespace qvi::scenario
