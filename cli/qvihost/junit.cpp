#include "qvihost/junit.h"

#include <cstdio>
#include <stdexcept>

#if QVI_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

namespace qvi::cli {

#if QVI_HAVE_PUGIXML

namespace {

// `text` with every character XML 1.0 cannot hold, and every byte that does
// not start a whole UTF-8 sequence, as U+FFFD; `replaced` counts them.
std::string XmlText(const std::string& text, std::size_t& replaced) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    char32_t code = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    bool whole = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      whole = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool allowed = whole && code >= kLeast[length] &&
                         (code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                          (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF));
    if (allowed) {
      out.append(text, i, length);
      i += length;
    } else {
      out += kReplacement;
      ++replaced;
      i += whole ? length : 1;
    }
  }
  return out;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

}  // namespace

bool JunitAvailable() { return true; }

JunitDocument JunitXml(const std::vector<JunitSuite>& suites) {
  JunitDocument document;
  const auto text = [&document](const std::string& raw) { return XmlText(raw, document.replaced); };
  pugi::xml_document xml;
  pugi::xml_node root = xml.append_child("testsuites");
  root.append_attribute("name") = "qvihost";
  std::size_t tests = 0;
  std::size_t failures = 0;
  double seconds = 0;
  for (const JunitSuite& suite : suites) {
    // Named with its file: two files may hold scenarios of one name.
    const std::string name = suite.name + " (" + suite.file + ")";
    pugi::xml_node node = root.append_child("testsuite");
    node.append_attribute("name") = text(name).c_str();
    node.append_attribute("file") = text(suite.file).c_str();
    std::size_t failed = 0;
    for (const JunitCase& c : suite.cases) failed += c.results.unmet.empty() ? 0 : 1;
    node.append_attribute("tests") = suite.cases.size();
    node.append_attribute("failures") = failed;
    node.append_attribute("time") = Seconds(suite.seconds).c_str();
    tests += suite.cases.size();
    failures += failed;
    seconds += suite.seconds;
    for (const JunitCase& c : suite.cases) {
      pugi::xml_node test = node.append_child("testcase");
      test.append_attribute("classname") = text(name).c_str();
      test.append_attribute("name") = text(c.group).c_str();
      test.append_attribute("time") = Seconds(c.seconds).c_str();
      if (c.results.unmet.empty()) continue;
      std::string details;
      for (const scenario::UnmetExpectation& u : c.results.unmet) details += scenario::FormatUnmet(u, "");
      pugi::xml_node failure = test.append_child("failure");
      failure.append_attribute("message") = (std::to_string(c.results.unmet.size()) + " of " +
                                             std::to_string(c.results.checked) + " expectations not met")
                                                .c_str();
      failure.append_child(pugi::node_pcdata).set_value(text(details).c_str());
    }
  }
  root.append_attribute("tests") = tests;
  root.append_attribute("failures") = failures;
  root.append_attribute("time") = Seconds(seconds).c_str();
  if (document.replaced > 0) {
    // Said in the file too, for whoever reads only the file.
    pugi::xml_node properties = root.first_child().prepend_child("properties");
    pugi::xml_node property = properties.append_child("property");
    property.append_attribute("name") = "replaced_characters";
    property.append_attribute("value") = document.replaced;
  }
  struct Writer : pugi::xml_writer {
    std::string* out;
    void write(const void* data, std::size_t size) override { out->append(static_cast<const char*>(data), size); }
  } writer;
  writer.out = &document.xml;
  xml.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
  return document;
}

#else

bool JunitAvailable() { return false; }

JunitDocument JunitXml(const std::vector<JunitSuite>&) {
  throw std::logic_error("this build of qvihost writes no JUnit XML (it was built without pugixml)");
}

#endif

}  // namespace qvi::cli
