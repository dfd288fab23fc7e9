#include "scenario/report.h"

#include <algorithm>
#include <concepts>
#include <map>
#include <cstdio>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include <dtl/dtl.hpp>

#include "emu/reg_text.h"
#include "host/dispid.h"
#include "platform/win32_types.h"
#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"
#include "scenario/html.h"

namespace qvi::scenario {

namespace {

using json = nlohmann::ordered_json;

// Every report is UTF-8; the machine's text is in its code page. Each piece
// of machine text passes here once, where a report writes it; the scenario's
// own text (its name, paths on this computer) is UTF-8 already and does not.
std::string Utf8(const std::string& text) { return code_page::ToUtf8(text); }

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    if (i > 0) out += ',';
    out += pair;
  }
  return out;
}

json VariantJson(const host::Variant& value) {
  switch (value.type()) {
    case host::Variant::Type::kEmpty: return nullptr;
    case host::Variant::Type::kString: return Utf8(value.ToString());
    default: return value.ToInt32();
  }
}

std::string VariantTypeName(const host::Variant& value) {
  switch (value.type()) {
    case host::Variant::Type::kEmpty: return "Empty";
    case host::Variant::Type::kInt16: return "Integer";
    case host::Variant::Type::kInt32: return "Long";
    case host::Variant::Type::kString: return "String";
  }
  return "";
}

std::string OpName(RegistryChange::Op op) {
  switch (op) {
    case RegistryChange::Op::kCreateKey: return "create_key";
    case RegistryChange::Op::kDeleteKey: return "delete_key";
    case RegistryChange::Op::kSetValue: return "set_value";
    case RegistryChange::Op::kChangeValue: return "change_value";
    case RegistryChange::Op::kDeleteValue: return "delete_value";
  }
  return "";
}

// What a changed value held, in the notation of .reg data, as a comment a
// .reg reader ignores: ` ; was "1200"`.
std::string WasText(const RegistryChange& change) {
  if (change.op != RegistryChange::Op::kChangeValue || !change.before) return "";
  return " ; was " + emu::RegValueText({"", change.before->type, change.before->data}, " ").substr(2);
}


// True when some deleted key above this one already removes it.
bool UnderDeletedKey(const std::vector<RegistryChange>& changes, const std::string& key) {
  for (const auto& change : changes) {
    if (change.op == RegistryChange::Op::kDeleteKey && key.size() > change.key.size() &&
        key.compare(0, change.key.size(), change.key) == 0 && key[change.key.size()] == '\\') {
      return true;
    }
  }
  return false;
}

// How many host calls failed in each event, in event order. An event's calls
// follow one another under its name.
std::vector<std::size_t> FailedCallsPerEvent(const RunResult& r) {
  std::vector<std::size_t> failed(r.events.size(), 0);
  std::size_t call = 0;
  for (std::size_t e = 0; e < r.events.size(); ++e) {
    for (; call < r.host_calls.size() && r.host_calls[call].event == EventName(r.events[e].event); ++call) {
      failed[e] += r.host_calls[call].failed ? 1 : 0;
    }
  }
  return failed;
}

// An event's outcome; a completed event in which the host refused calls says
// so, as the snap-in may have gone on without what it asked for.
std::string OutcomeText(const rhost::EventOutcome& e, std::size_t failed_calls) {
  if (e.failed) return "FAILED " + Utf8(e.reason);
  if (failed_calls == 0) return "completed";
  return "completed, " + std::to_string(failed_calls) + (failed_calls == 1 ? " host call" : " host calls") + " refused";
}

// Each line of `text` after `prefix`, a final line without its line break
// included.
std::string Indent(const std::string& text, const std::string& prefix) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    out.append(prefix).append(text, at, end - at) += '\n';
    at = end + 1;
  }
  return out;
}

// The readable report is appended to one string. It is made on every run,
// and there a string stream's formatting costs more than the text itself.
class TextOut {
 public:
  TextOut& operator<<(std::string_view text) {
    text_.append(text);
    return *this;
  }
  TextOut& operator<<(char c) {
    text_ += c;
    return *this;
  }
  template <std::integral Number>
    requires(!std::same_as<Number, char> && !std::same_as<Number, bool>)
  TextOut& operator<<(Number n) {
    text_ += std::to_string(n);
    return *this;
  }
  std::string str() && { return std::move(text_); }
  std::size_t size() const { return text_.size(); }

 private:
  std::string text_;
};

}  // namespace

std::string DescribeCall(const rhost::HostCall& call) {
  std::string text(rhost::ControlName(call.control));
  text.append(" ").append(std::to_string(call.dispid));
  if (const auto name = rhost::OperationName(call.control, call.dispid); !name.empty()) text.append(" ").append(name);
  text += "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (i > 0) text += ", ";
    if (call.args[i].by_ref) text += "ByRef ";
    AppendShownValue(text, call.args[i].value);
  }
  text += ")";
  if (call.failed) return text.append(" FAILED ").append(call.failure);
  text += " -> ";
  AppendShownValue(text, call.result);
  return text;
}

std::string RegistryTypeName(std::uint32_t type) {
  switch (type) {
    case platform::kRegNone: return "REG_NONE";
    case platform::kRegSz: return "REG_SZ";
    case platform::kRegExpandSz: return "REG_EXPAND_SZ";
    case platform::kRegBinary: return "REG_BINARY";
    case platform::kRegDword: return "REG_DWORD";
    case platform::kRegMultiSz: return "REG_MULTI_SZ";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%x", type);
      return text;
    }
  }
}

std::string RegistryDataText(const emu::RegistryValue& value) {
  if (value.type != platform::kRegSz) return Hex(value.data);
  std::string text(value.data.begin(), value.data.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::string PrintableText(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::string ShownValue(const host::Variant& value) {
  std::string out;
  AppendShownValue(out, value);
  return out;
}

void AppendShownValue(std::string& out, const host::Variant& value) {
  if (value.type() == host::Variant::Type::kEmpty) {
    out += "Empty";
    return;
  }
  if (value.type() != host::Variant::Type::kString) {
    out += value.ToString();
    return;
  }
  const std::string text = value.ToString();
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"') {
      out += "\"\"";
    } else if (c == '\n') {
      out += "<LF>";
    } else if (c == '\r') {
      out += "<CR>";
    } else if (c < 0x20 || c == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "<0x%02X>", c);
      out += code;
    } else {
      out += ch;
    }
  }
  out += '"';
}

std::string UnifiedDiff(const std::string& before, const std::string& after) {
  const auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.push_back(PrintableText(line));
    }
    return out;
  };
  dtl::Diff<std::string, std::vector<std::string>> diff(lines(before), lines(after));
  diff.compose();
  diff.composeUnifiedHunks();
  std::ostringstream out;
  diff.printUnifiedFormat(out);
  return out.str();
}

namespace {

// Where each part of the readable report starts: the HTML page shows the
// same parts, in the same notation.
struct Part {
  std::string id;
  std::string title;
  std::size_t title_at = 0;  // the blank line before the title
  std::size_t body_at = 0;
  // Lines of the body (from 0) that tell of a failed call, where the text
  // alone cannot say so.
  std::set<std::size_t> failed_lines;
};

// Registry changes as .reg text: a key once above its values, a removed
// tree by its top key.
void AppendRegistryChanges(TextOut& out, const std::vector<RegistryChange>& changes) {
  std::string open_key;
  for (const auto& change : changes) {
    switch (change.op) {
      case RegistryChange::Op::kDeleteKey:
        if (!UnderDeletedKey(changes, change.key)) out << "\n[-" << Utf8(change.key) << "]\n";
        open_key.clear();
        break;
      case RegistryChange::Op::kCreateKey:
        out << "\n[" << Utf8(change.key) << "]\n";
        open_key = change.key;
        break;
      case RegistryChange::Op::kSetValue:
      case RegistryChange::Op::kChangeValue:
      case RegistryChange::Op::kDeleteValue:
        if (open_key != change.key) {
          out << "\n[" << Utf8(change.key) << "]\n";
          open_key = change.key;
        }
        out << Utf8(change.op == RegistryChange::Op::kDeleteValue ? emu::RegValueDeletionText(change.value.name)
                                                                   : emu::RegValueText(change.value, "\n") + WasText(change))
            << "\n";
        break;
    }
  }
}

// Files by Windows path, what happened to each, and their text: appended
// lines, a diff, or the whole new file.
void AppendFileChanges(TextOut& out, const std::vector<FileChange>& files) {
  for (const auto& file : files) {
    const bool appended = file.before && file.after && file.after->rfind(*file.before, 0) == 0;
    const char* what = !file.before ? "created" : !file.after ? "removed" : appended ? "appended to" : "changed";
    out << "  " << Utf8(file.path) << " (" << what << ")\n";
    if (appended) {
      out << Indent(PrintableText(file.after->substr(file.before->size())), "      + ");
    } else if (file.before && file.after) {
      out << Indent(UnifiedDiff(*file.before, *file.after), "      ");
    } else if (file.after) {
      out << Indent(PrintableText(*file.after), "      | ");
    }
  }
}

// Each event's calls under its name, one line each, as the run made them;
// the lines of failed calls, counted from the first, go to `failed_lines`.
void AppendTrace(TextOut& out, const std::vector<TracedCall>& trace, std::set<std::size_t>* failed_lines) {
  std::size_t line = 0;
  const std::string* event = nullptr;
  for (const TracedCall& call : trace) {
    if (!event || call.event != *event) {
      out << "  [" << (call.event.empty() ? "(no event)" : call.event) << "]\n";
      event = &call.event;
      ++line;
    }
    if (failed_lines && call.failed) failed_lines->insert(line);
    out << "    " << Utf8(TraceLine(call)) << "\n";
    ++line;
  }
}

// Each event's changes to the machine as the event before left it, a
// registry change on one line.
void AppendChangesByEvent(TextOut& out, const RunResult& r) {
  for (std::size_t i = 0; i < r.changes_per_event.size() && i < r.events.size(); ++i) {
    const EventChanges& changes = r.changes_per_event[i];
    const rhost::EventOutcome& e = r.events[i];
    out << "  [" << Utf8(std::string(EventName(e.event)) + (e.argument.empty() ? "" : "(" + e.argument + ")")) << "] "
        << changes.registry.size() << " registry, " << changes.files.size() << " files\n";
    for (const RegistryChange& change : changes.registry) {
      const std::string key = Utf8(change.key);
      switch (change.op) {
        case RegistryChange::Op::kCreateKey: out << "    [" << key << "]\n"; break;
        case RegistryChange::Op::kDeleteKey:
          if (!UnderDeletedKey(changes.registry, change.key)) out << "    [-" << key << "]\n";
          break;
        case RegistryChange::Op::kSetValue:
        case RegistryChange::Op::kChangeValue:
          out << "    [" << key << "] " << Utf8(emu::RegValueText(change.value, " ") + WasText(change)) << "\n";
          break;
        case RegistryChange::Op::kDeleteValue:
          out << "    [" << key << "] " << Utf8(emu::RegValueDeletionText(change.value.name)) << "\n";
          break;
      }
    }
    for (const FileChange& file : changes.files) {
      const bool appended = file.before && file.after && file.after->rfind(*file.before, 0) == 0;
      out << "    " << Utf8(file.path) << " ("
          << (!file.before ? "created" : !file.after ? "removed" : appended ? "appended to" : "changed") << ")\n";
    }
  }
}

// What the snap-in asked of the host, as the host keeps it.
void AppendHostState(TextOut& out, const rhost::HostState& s) {
  out << "  settings file: " << (s.settings_file.empty() ? "(none)" : Utf8(s.settings_file)) << "\n";
  out << "  destination directories:\n";
  for (const auto& [name, path] : s.destination_dirs) out << "    " << Utf8(name + " = " + path) << "\n";
  out << "  copy sections:";
  for (const auto& section : s.copy_sections) out << " " << Utf8(section);
  out << "\n  icons:\n";
  for (const auto& icon : s.icons) {
    out << "    "
        << Utf8(ShownValue(icon.title) + " -> " + ShownValue(icon.target) + " args " + ShownValue(icon.arguments) +
                " in " + ShownValue(icon.folder) + " = " + ShownValue(icon.result))
        << "\n";
  }
  if (!s.removed_folders.empty()) {
    out << "  removed folders:\n";
    for (const auto& folder : s.removed_folders) out << "    " << Utf8(folder) << "\n";
  }
  if (!s.directory_operations.empty()) {
    out << "  directory operations:\n";
    for (const auto& op : s.directory_operations) {
      std::string line = ShownValue(op.directory) + " = " + ShownValue(op.result);
      if (op.action != rhost::DirectoryAction::kNone) {
        line += " (" + std::string(rhost::DirectoryActionName(op.action)) + ": " + op.outcome + ")";
      }
      out << "    " << op.operation << " " << Utf8(line) << "\n";
    }
  }
  out << "  directory table:\n";
  for (const auto& [key, list] : s.directories) {
    std::string line = key + ":";
    for (const auto& dir : list) line += " " + ShownValue(dir);
    out << "    " << Utf8(line) << "\n";
  }
}

// "RegCreateKeyA #3 (5 access denied): fired in qviSetup".
std::string InjectedFaultText(const InjectedFault& f) {
  std::string text = f.field + " " + f.call +
                     (f.occurrence == 0 ? " every call" : " #" + std::to_string(f.occurrence)) + " (" +
                     std::to_string(f.code) + (f.description.empty() ? "" : " " + Utf8(f.description)) + "): ";
  if (f.fired_in.empty()) {
    return text + "never fired (called " + std::to_string(f.calls) + (f.calls == 1 ? " time)" : " times)");
  }
  if (f.fired_in.size() == 1) return text + "fired in " + f.fired_in.front();
  // Events in the order they fired in, each with how often.
  std::vector<std::pair<std::string, int>> per_event;
  for (const std::string& event : f.fired_in) {
    if (per_event.empty() || per_event.back().first != event) per_event.emplace_back(event, 0);
    ++per_event.back().second;
  }
  text += "fired " + std::to_string(f.fired_in.size()) + " times:";
  for (std::size_t i = 0; i < per_event.size(); ++i) {
    text += (i == 0 ? " in " : ", ") + per_event[i].first + " (" + std::to_string(per_event[i].second) + ")";
  }
  return text;
}

std::string ReportText(const RunResult& r, std::vector<Part>* parts) {
  TextOut out;
  const auto heading = [&](const char* id, const std::string& title) {
    if (parts) parts->push_back({id, title, out.size(), out.size() + title.size() + 2, {}});
    out << "\n" << title << "\n";
  };
  out << "Scenario " << (r.scenario.empty() ? "(unnamed)" : r.scenario) << " on "
      << (r.machine_folder.empty() ? std::string("a temporary machine") : "machine " + r.machine_folder)
      << " (computer " << Utf8(r.computer_name) << (r.fresh_machine ? ", fresh" : ", existing") << ")\n";

  // Apart from the run's changes: a seed the snap-in then removes is not
  // something the machine had.
  if (!r.seeded.empty()) {
    heading("seeded", "Seeded into the existing machine before the run (" + std::to_string(r.seeded.size()) + ")");
    for (const std::string& item : r.seeded) out << "  " << Utf8(item) << "\n";
  }

  heading("events", "Events");
  const std::vector<std::size_t> failed_calls = FailedCallsPerEvent(r);
  for (std::size_t i = 0; i < r.events.size(); ++i) {
    const rhost::EventOutcome& e = r.events[i];
    std::string name = std::string(EventName(e.event)) + (e.argument.empty() ? "" : "(" + e.argument + ")");
    out << "  " << Utf8(name) << std::string(name.size() < 40 ? 40 - name.size() : 1, ' ')
        << OutcomeText(e, failed_calls[i]) << "\n";
  }

  if (!r.injected_faults.empty()) {
    heading("injected-faults", "Injected faults (" + std::to_string(r.injected_faults.size()) + ")");
    for (const InjectedFault& f : r.injected_faults) out << "  " << InjectedFaultText(f) << "\n";
  }

  heading("host-calls", "Host calls (" + std::to_string(r.host_calls.size()) + ")");
  std::string current;
  bool first = true;
  for (const auto& call : r.host_calls) {
    if (first || call.event != current) {
      out << "  [" << (call.event.empty() ? "(no event)" : call.event) << "]\n";
      current = call.event;
      first = false;
    }
    out << "    " << Utf8(DescribeCall(call)) << "\n";
  }

  if (r.traced) {
    heading("trace", "Trace (" + std::to_string(r.trace.size()) + ")");
    AppendTrace(out, r.trace, parts ? &parts->back().failed_lines : nullptr);
  }

  if (!r.copies.empty()) {
    heading("copies", "Files copied by the host (" + std::to_string(r.copies.size()) + ")");
    for (const CopyOutcome& copy : r.copies) {
      out << "  "
          << Utf8("[" + copy.section + "] " + copy.file + " -> " +
                  (copy.destination.empty() ? "(no directory)" : copy.destination) +
                  (copy.failure.empty() ? "" : " FAILED: " + copy.failure))
          << "\n";
    }
  }

  heading("registry", "Registry changes (" + std::to_string(r.registry_changes.size()) + ")");
  AppendRegistryChanges(out, r.registry_changes);

  heading("files", "Files changed (" + std::to_string(r.files.size()) + ")");
  AppendFileChanges(out, r.files);

  heading("by-event", "Changes by event");
  AppendChangesByEvent(out, r);

  heading("log", "Log lines appended to ods.txt (" + std::to_string(r.log.size()) + ")");
  for (const auto& line : r.log) {
    const std::string text = Indent(PrintableText(line), "    ");
    out << "  " << text.substr(4);
  }

  heading("message-boxes", "Message boxes (" + std::to_string(r.message_boxes.size()) + ")");
  for (const auto& box : r.message_boxes) {
    out << "  [" << Utf8(box.caption) << "]\n" << Indent(PrintableText(box.text), "    ");
  }

  heading("host-state", "Host state");
  AppendHostState(out, r.host_state);
  return std::move(out).str();
}

}  // namespace

std::string FormatReport(const RunResult& r) { return ReportText(r, nullptr); }

std::string FormatDifferences(const std::vector<RegistryChange>& registry, const std::vector<FileChange>& files) {
  TextOut out;
  out << "Registry (" << std::to_string(registry.size()) << ")\n";
  AppendRegistryChanges(out, registry);
  out << "\nFiles (" << std::to_string(files.size()) << ")\n";
  AppendFileChanges(out, files);
  return std::move(out).str();
}

std::string FormatLifeCycle(const LifeCycleResult& r) {
  std::string text;
  for (std::size_t i = 0; i < r.steps.size(); ++i) {
    text += "Step " + std::to_string(i + 1) + " of " + std::to_string(r.planned_steps) + ": ";
    text += FormatReport(r.steps[i]) + "\n";
  }
  if (!r.stopped.empty()) text += "Stopped: " + r.stopped + "\n\n";
  return text + "Left behind, against the machine before the first step\n" +
         FormatDifferences(r.left_registry, r.left_files);
}

json LifeCycleJson(const LifeCycleResult& r, const std::string& name) {
  json doc = {{"life_cycle", name}, {"steps", json::array()}};
  for (const RunResult& step : r.steps) doc["steps"].push_back(ReportJson(step));
  doc["stopped"] = r.stopped.empty() ? json(nullptr) : json(r.stopped);
  RunResult left;
  left.registry_changes = r.left_registry;
  left.files = r.left_files;
  const json changes = ReportJson(left);
  doc["left_behind"] = {{"registry_changes", changes["registry_changes"]}, {"files", changes["files"]}};
  return doc;
}

std::string MarkupText(const std::string& utf8) {
  std::string out;
  for (const char c : utf8) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

// The class a line of the readable report's part `id` is shown with: what
// was removed, added or refused.
const char* LineClass(const std::string& id, const std::string& line) {
  if (id == "events") return line.find(" FAILED ") != std::string::npos || line.ends_with(" refused") ? "failed" : nullptr;
  if (id == "copies") return line.find(" FAILED: ") != std::string::npos ? "failed" : nullptr;
  if (id == "host-calls") return line.find(") FAILED ") != std::string::npos ? "failed" : nullptr;
  if (id == "registry") {
    if (line.starts_with("[-") || line.ends_with("=-")) return "del";
    return line.find(" ; was ") != std::string::npos ? "chg" : nullptr;
  }
  if (id == "files" && line.size() > 6 && line.starts_with("      ")) {
    return line[6] == '+' ? "add" : line[6] == '-' ? "del" : nullptr;
  }
  return nullptr;
}

}  // namespace

namespace {

void HtmlSummary(std::ostringstream& out, const RunResult& r) {
  std::size_t failed_events = 0;
  for (const auto& e : r.events) failed_events += e.failed ? 1 : 0;
  std::size_t refused_calls = 0;
  for (const auto& call : r.host_calls) refused_calls += call.failed ? 1 : 0;
  std::map<RegistryChange::Op, std::size_t> by_op;
  for (const auto& change : r.registry_changes) ++by_op[change.op];
  std::size_t created = 0, removed = 0;
  for (const auto& file : r.files) {
    created += file.before ? 0 : 1;
    removed += file.after ? 0 : 1;
  }
  const auto row = [&out](const std::string& what, std::size_t count, const std::string& detail, bool bad) {
    out << "<tr><th>" << what << "</th><td>" << count << "</td><td" << (bad ? " class=\"failed\"" : "") << ">"
        << detail << "</td></tr>\n";
  };
  using Op = RegistryChange::Op;
  out << "<table>\n";
  row("Events", r.events.size(), std::to_string(failed_events) + " failed", failed_events > 0);
  row("Host calls", r.host_calls.size(), std::to_string(refused_calls) + " failed", refused_calls > 0);
  row("Registry changes", r.registry_changes.size(),
      std::to_string(by_op[Op::kCreateKey]) + " keys created, " + std::to_string(by_op[Op::kDeleteKey]) +
          " keys deleted, " + std::to_string(by_op[Op::kSetValue]) + " values set, " +
          std::to_string(by_op[Op::kChangeValue]) + " values changed, " + std::to_string(by_op[Op::kDeleteValue]) +
          " values deleted",
      false);
  row("Files changed", r.files.size(),
      std::to_string(created) + " created, " + std::to_string(r.files.size() - created - removed) + " changed, " +
          std::to_string(removed) + " removed",
      false);
  row("Log lines", r.log.size(), "", false);
  row("Message boxes", r.message_boxes.size(), "", false);
  out << "</table>\n";
}

// Lines of the readable report's part `id` as preformatted text, each
// marked with the class LineClass gives it, or as failed when among
// `failed_lines` (counted from 0).
void HtmlPre(std::ostringstream& out, const std::string& id, const std::string& text,
             const std::set<std::size_t>& failed_lines = {}) {
  out << "<pre>";
  std::istringstream lines(text);
  std::size_t number = 0;
  for (std::string line; std::getline(lines, line); ++number) {
    const char* cls = failed_lines.contains(number) ? "failed" : LineClass(id, line);
    out << (cls ? "<span class=\"" + std::string(cls) + "\">" + HtmlText(line) + "</span>\n" : HtmlText(line) + "\n");
  }
  out << "</pre>\n";
}

// The parts of the readable report `text` as headed sections, their ids
// behind `prefix` so that several runs can share a page.
void HtmlParts(std::ostringstream& out, const std::string& text, const std::vector<Part>& parts,
               const std::string& prefix, const char* heading) {
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const Part& part = parts[p];
    const std::size_t end = p + 1 < parts.size() ? parts[p + 1].title_at : text.size();
    out << "<" << heading << " id=\"" << prefix << part.id << "\">" << HtmlText(part.title) << "</" << heading
        << ">\n";
    HtmlPre(out, part.id, text.substr(part.body_at, end - part.body_at), part.failed_lines);
  }
}

void HtmlContents(std::ostringstream& out, const std::vector<Part>& parts, const std::string& prefix) {
  out << "<ul>\n";
  for (const Part& part : parts) {
    out << "<li><a href=\"#" << prefix << part.id << "\">" << HtmlText(part.title) << "</a></li>\n";
  }
  out << "</ul>\n";
}

std::string MachineLine(const RunResult& r) {
  return "<p>Computer " + HtmlText(Utf8(r.computer_name)) + ", " +
         (r.machine_folder.empty() ? "a temporary machine" : "machine " + HtmlText(r.machine_folder)) +
         (r.fresh_machine ? " (fresh)" : " (existing)") + "</p>\n";
}

}  // namespace

std::string HtmlReport(const RunResult& r) {
  std::vector<Part> parts;
  const std::string text = ReportText(r, &parts);
  std::ostringstream out;
  out << HtmlPageHead(r.scenario.empty() ? std::string("(unnamed)") : r.scenario) << MachineLine(r);
  out << "<h2 id=\"summary\">Summary</h2>\n";
  HtmlSummary(out, r);
  out << "<nav><h2>Contents</h2>";
  HtmlContents(out, parts, "");
  out << "</nav>\n";
  HtmlParts(out, text, parts, "", "h2");
  out << "</body></html>\n";
  return out.str();
}

std::string HtmlLifeCycle(const LifeCycleResult& r, const std::string& name) {
  std::ostringstream out;
  out << HtmlPageHead(name);
  if (!r.steps.empty()) out << MachineLine(r.steps.front());
  out << "<nav><h2>Contents</h2><ul>\n";
  for (std::size_t i = 0; i < r.steps.size(); ++i) {
    out << "<li><a href=\"#step" << i + 1 << "\">Step " << i + 1 << ": " << HtmlText(r.steps[i].scenario)
        << "</a></li>\n";
  }
  out << "<li><a href=\"#left-behind\">Left behind</a></li>\n</ul></nav>\n";
  if (!r.stopped.empty()) out << "<p class=\"failed\">" << HtmlText(r.stopped) << "</p>\n";
  for (std::size_t i = 0; i < r.steps.size(); ++i) {
    const std::string prefix = "step" + std::to_string(i + 1) + "-";
    std::vector<Part> parts;
    const std::string text = ReportText(r.steps[i], &parts);
    out << "<h2 id=\"step" << i + 1 << "\">Step " << i + 1 << " of " << r.steps.size() << ": "
        << HtmlText(r.steps[i].scenario) << "</h2>\n";
    HtmlSummary(out, r.steps[i]);
    HtmlParts(out, text, parts, prefix, "h3");
  }
  TextOut left;
  AppendRegistryChanges(left, r.left_registry);
  TextOut files;
  AppendFileChanges(files, r.left_files);
  const std::string left_text = std::move(left).str();
  const std::string files_text = std::move(files).str();
  out << "<h2 id=\"left-behind\">Left behind, against the machine before the first step</h2>\n";
  const std::vector<std::pair<std::string, std::string>> sections = {
      {"registry", "Registry (" + std::to_string(r.left_registry.size()) + ")\n" + left_text},
      {"files", "Files (" + std::to_string(r.left_files.size()) + ")\n" + files_text}};
  for (const auto& [id, section] : sections) HtmlPre(out, id, section);
  out << "</body></html>\n";
  return out.str();
}

namespace {

json HostCallsJson(const std::vector<rhost::HostCall>& calls) {
  json list = json::array();
  for (const auto& call : calls) {
    json args = json::array();
    for (const auto& arg : call.args) {
      args.push_back({{"value", VariantJson(arg.value)}, {"type", VariantTypeName(arg.value)}, {"by_ref", arg.by_ref}});
    }
    json entry = {{"event", call.event},
                  {"control", rhost::ControlName(call.control)},
                  {"dispid", call.dispid},
                  {"operation", rhost::OperationName(call.control, call.dispid)},
                  {"args", std::move(args)}, {"result", call.failed ? json(nullptr) : VariantJson(call.result)},
                  {"failed", call.failed}};
    if (call.failed) entry["failure"] = Utf8(call.failure);
    list.push_back(std::move(entry));
  }
  return list;
}

json TraceJson(const std::vector<TracedCall>& trace) {
  json list = json::array();
  for (const TracedCall& call : trace) {
    json args = json::array();
    for (const std::string& arg : call.args) args.push_back(Utf8(arg));
    list.push_back({{"event", call.event},
                    {"seq", call.seq},
                    {"kind", call.kind == TracedCall::Kind::kHost ? "host" : "platform"},
                    {"function", call.function},
                    {"args", std::move(args)},
                    {"result", Utf8(call.result)},
                    {"last_error", call.last_error.empty() ? json(nullptr) : json(call.last_error)},
                    {"failed", call.failed},
                    {"injected", call.injected}});
  }
  return list;
}

json RegistryChangesJson(const std::vector<RegistryChange>& changes) {
  json list = json::array();
  for (const auto& change : changes) {
    json entry = {{"op", OpName(change.op)}, {"key", Utf8(change.key)}};
    if (change.op != RegistryChange::Op::kCreateKey && change.op != RegistryChange::Op::kDeleteKey) {
      entry["name"] = Utf8(change.value.name);
      entry["type"] = RegistryTypeName(change.value.type);
    }
    if (change.op == RegistryChange::Op::kSetValue || change.op == RegistryChange::Op::kChangeValue) {
      entry["data"] = Utf8(RegistryDataText(change.value));
      entry["size"] = change.value.data.size();
    }
    if (change.op == RegistryChange::Op::kChangeValue && change.before) {
      entry["before"] = {{"type", RegistryTypeName(change.before->type)},
                         {"data", Utf8(RegistryDataText(*change.before))},
                         {"size", change.before->data.size()}};
    }
    list.push_back(std::move(entry));
  }
  return list;
}

json HostStateJson(const rhost::HostState& s) {
  json state;
  state["settings_file"] = Utf8(s.settings_file);
  state["destination_dirs"] = json::array();
  for (const auto& [name, path] : s.destination_dirs) {
    state["destination_dirs"].push_back({{"name", Utf8(name)}, {"path", Utf8(path)}});
  }
  state["copy_sections"] = json::array();
  for (const auto& section : s.copy_sections) state["copy_sections"].push_back(Utf8(section));
  state["icons"] = json::array();
  for (const auto& icon : s.icons) {
    state["icons"].push_back({{"title", Utf8(icon.title)},
                              {"target", Utf8(icon.target)},
                              {"arguments", Utf8(icon.arguments)},
                              {"folder", Utf8(icon.folder)},
                              {"result", VariantJson(icon.result)}});
  }
  state["removed_folders"] = json::array();
  for (const auto& folder : s.removed_folders) state["removed_folders"].push_back(Utf8(folder));
  state["directory_operations"] = json::array();
  for (const auto& op : s.directory_operations) {
    state["directory_operations"].push_back({{"operation", op.operation},
                                             {"directory", Utf8(op.directory)},
                                             {"result", VariantJson(op.result)},
                                             {"action", rhost::DirectoryActionName(op.action)},
                                             {"outcome", Utf8(op.outcome)}});
  }
  state["directories"] = json::object();
  for (const auto& [key, list] : s.directories) {
    json dirs = json::array();
    for (const auto& dir : list) dirs.push_back(VariantJson(dir));
    state["directories"][Utf8(key)] = std::move(dirs);
  }
  return state;
}

}  // namespace

json ReportJson(const RunResult& r) {
  json doc;
  doc["scenario"] = r.scenario;
  doc["machine"] = {{"folder", r.machine_folder.empty() ? json(nullptr) : json(r.machine_folder)},
                    {"fresh", r.fresh_machine},
                    {"computer_name", Utf8(r.computer_name)}};
  if (!r.seeded.empty()) {
    doc["machine"]["seeded"] = json::array();
    for (const std::string& item : r.seeded) doc["machine"]["seeded"].push_back(Utf8(item));
  }

  doc["events"] = json::array();
  for (const auto& e : r.events) {
    json event = {{"event", EventName(e.event)},
                  {"argument", e.argument.empty() ? json(nullptr) : json(Utf8(e.argument))},
                  {"outcome", e.failed ? "failed" : "completed"}};
    if (e.failed) event["reason"] = Utf8(e.reason);
    doc["events"].push_back(std::move(event));
  }

  doc["host_calls"] = HostCallsJson(r.host_calls);
  if (r.traced) doc["trace"] = TraceJson(r.trace);

  // Only when the host copied anything, as machine.seeded is only on an
  // existing machine.
  for (const CopyOutcome& copy : r.copies) {
    json entry = {{"section", Utf8(copy.section)},
                  {"file", Utf8(copy.file)},
                  {"destination", copy.destination.empty() ? json(nullptr) : json(Utf8(copy.destination))},
                  {"copied", copy.failure.empty()}};
    if (!copy.failure.empty()) entry["reason"] = Utf8(copy.failure);
    doc["copies"].push_back(std::move(entry));
  }

  // Only when the scenario injects any faults, as copies.
  for (const InjectedFault& f : r.injected_faults) {
    json events = json::array();
    for (const std::string& event : f.fired_in) events.push_back(event);
    doc["injected_faults"].push_back({{"field", f.field},
                                      {"call", f.call},
                                      {"occurrence", f.occurrence},
                                      {"code", f.code},
                                      {"description", Utf8(f.description)},
                                      {"calls", f.calls},
                                      {"fired", !f.fired_in.empty()},
                                      {"fired_in", std::move(events)}});
  }

  doc["registry_changes"] = RegistryChangesJson(r.registry_changes);

  doc["files"] = json::array();
  for (const auto& file : r.files) {
    doc["files"].push_back({{"path", Utf8(file.path)},
                            {"before", file.before ? json(Utf8(*file.before)) : json(nullptr)},
                            {"after", file.after ? json(Utf8(*file.after)) : json(nullptr)}});
  }

  doc["log"] = json::array();
  for (const auto& line : r.log) doc["log"].push_back(Utf8(line));

  doc["message_boxes"] = json::array();
  for (const auto& box : r.message_boxes) {
    doc["message_boxes"].push_back({{"caption", Utf8(box.caption)}, {"text", Utf8(box.text)}});
  }

  doc["host_state"] = HostStateJson(r.host_state);
  return doc;
}

}  // namespace qvi::scenario
