#include "scenario/report.h"

#include <algorithm>
#include <concepts>
#include <cstdio>
#include <sstream>
#include <string_view>
#include <vector>

#include <dtl/dtl.hpp>

#include "emu/reg_text.h"
#include "host/dispid.h"
#include "platform/win32_types.h"
#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"

namespace qvi::scenario {

namespace {

using json = nlohmann::ordered_json;

// JSON strings are UTF-8; the machine's text is in its code page.
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
    case RegistryChange::Op::kDeleteValue: return "delete_value";
  }
  return "";
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

std::string FormatReport(const RunResult& r) {
  TextOut out;
  out << "Scenario " << (r.scenario.empty() ? "(unnamed)" : r.scenario) << " on "
      << (r.machine_folder.empty() ? std::string("a temporary machine") : "machine " + r.machine_folder)
      << " (computer " << r.computer_name << (r.fresh_machine ? ", fresh" : ", existing") << ")\n";

  out << "\nEvents\n";
  for (const auto& e : r.events) {
    std::string name = std::string(EventName(e.event)) + (e.argument.empty() ? "" : "(" + e.argument + ")");
    out << "  " << name << std::string(name.size() < 40 ? 40 - name.size() : 1, ' ')
        << (e.failed ? "FAILED " + e.reason : "completed") << "\n";
  }

  out << "\nHost calls (" << r.host_calls.size() << ")\n";
  std::string current;
  bool first = true;
  for (const auto& call : r.host_calls) {
    if (first || call.event != current) {
      out << "  [" << (call.event.empty() ? "(no event)" : call.event) << "]\n";
      current = call.event;
      first = false;
    }
    out << "    " << DescribeCall(call) << "\n";
  }

  out << "\nRegistry changes (" << r.registry_changes.size() << ")\n";
  std::string open_key;
  for (const auto& change : r.registry_changes) {
    switch (change.op) {
      case RegistryChange::Op::kDeleteKey:
        if (!UnderDeletedKey(r.registry_changes, change.key)) out << "\n[-" << change.key << "]\n";
        open_key.clear();
        break;
      case RegistryChange::Op::kCreateKey:
        out << "\n[" << change.key << "]\n";
        open_key = change.key;
        break;
      case RegistryChange::Op::kSetValue:
      case RegistryChange::Op::kDeleteValue:
        if (open_key != change.key) {
          out << "\n[" << change.key << "]\n";
          open_key = change.key;
        }
        out << (change.op == RegistryChange::Op::kDeleteValue ? emu::RegValueDeletionText(change.value.name)
                                                               : emu::RegValueText(change.value, "\n"))
            << "\n";
        break;
    }
  }

  out << "\nFiles changed (" << r.files.size() << ")\n";
  for (const auto& file : r.files) {
    const bool appended = file.before && file.after && file.after->rfind(*file.before, 0) == 0;
    const char* what = !file.before ? "created" : !file.after ? "removed" : appended ? "appended to" : "changed";
    out << "  " << file.path << " (" << what << ")\n";
    if (appended) {
      out << Indent(PrintableText(file.after->substr(file.before->size())), "      + ");
    } else if (file.before && file.after) {
      out << Indent(UnifiedDiff(*file.before, *file.after), "      ");
    } else if (file.after) {
      out << Indent(PrintableText(*file.after), "      | ");
    }
  }

  out << "\nLog lines appended to ods.txt (" << r.log.size() << ")\n";
  for (const auto& line : r.log) {
    const std::string text = Indent(PrintableText(line), "    ");
    out << "  " << text.substr(4);
  }

  out << "\nMessage boxes (" << r.message_boxes.size() << ")\n";
  for (const auto& box : r.message_boxes) {
    out << "  [" << box.caption << "]\n" << Indent(PrintableText(box.text), "    ");
  }

  const auto& s = r.host_state;
  out << "\nHost state\n";
  out << "  settings file: " << (s.settings_file.empty() ? "(none)" : s.settings_file) << "\n";
  out << "  destination directories:\n";
  for (const auto& [name, path] : s.destination_dirs) out << "    " << name << " = " << path << "\n";
  out << "  copy sections:";
  for (const auto& section : s.copy_sections) out << " " << section;
  out << "\n  icons:\n";
  for (const auto& icon : s.icons) {
    out << "    " << ShownValue(icon.title) << " -> " << ShownValue(icon.target) << " args "
        << ShownValue(icon.arguments) << " in " << ShownValue(icon.folder) << " = " << ShownValue(icon.result) << "\n";
  }
  if (!s.removed_folders.empty()) {
    out << "  removed folders:\n";
    for (const auto& folder : s.removed_folders) out << "    " << folder << "\n";
  }
  if (!s.directory_operations.empty()) {
    out << "  directory operations:\n";
    for (const auto& op : s.directory_operations) {
      out << "    " << op.operation << " " << ShownValue(op.directory) << " = " << ShownValue(op.result) << "\n";
    }
  }
  out << "  directory table:\n";
  for (const auto& [key, list] : s.directories) {
    out << "    " << key << ":";
    for (const auto& dir : list) out << " " << ShownValue(dir);
    out << "\n";
  }
  return std::move(out).str();
}

namespace {

std::string Html(const std::string& machine_text) { return MarkupText(code_page::ToUtf8(machine_text)); }

// A block of lines, each marked as added or removed by its first character
// when `diff` says so.
std::string Pre(const std::string& text, bool diff) {
  std::string out = "<pre>";
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const char* cls = !diff || line.empty() ? nullptr : line[0] == '+' ? "add" : line[0] == '-' ? "del" : nullptr;
    out += cls ? "<span class=\"" + std::string(cls) + "\">" + Html(line) + "</span>\n" : Html(line) + "\n";
  }
  return out + "</pre>\n";
}

}  // namespace

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

std::string HtmlReport(const RunResult& r) {
  std::ostringstream out;
  const std::string title = "qvihost: " + (r.scenario.empty() ? std::string("(unnamed)") : r.scenario);
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" << Html(title) << "</title>\n"
      << "<style>body{font-family:sans-serif;margin:2em}pre{background:#f6f6f6;padding:.5em;overflow-x:auto}"
         "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .6em;text-align:left}"
         ".add{color:#060}.del{color:#a00}.failed{color:#a00;font-weight:bold}</style></head><body>\n";
  out << "<h1>" << Html(title) << "</h1>\n<p>Computer " << Html(r.computer_name) << ", "
      << (r.machine_folder.empty() ? "a temporary machine" : "machine " + Html(r.machine_folder))
      << (r.fresh_machine ? " (fresh)" : " (existing)") << "</p>\n";
  out << "<h2 id=\"events\">Events</h2>\n<table><tr><th>Event</th><th>Outcome</th></tr>\n";
  for (const auto& e : r.events) {
    out << "<tr><td>" << Html(std::string(EventName(e.event)) + (e.argument.empty() ? "" : "(" + e.argument + ")"))
        << "</td><td" << (e.failed ? " class=\"failed\">failed " + Html(e.reason) : ">completed") << "</td></tr>\n";
  }
  out << "</table>\n<h2 id=\"host-calls\">Host calls (" << r.host_calls.size() << ")</h2>\n<pre>";
  std::string current;
  for (const auto& call : r.host_calls) {
    if (call.event != current) out << Html("[" + call.event + "]") << "\n";
    current = call.event;
    out << "  " << (call.failed ? "<span class=\"failed\">" + Html(DescribeCall(call)) + "</span>" : Html(DescribeCall(call)))
        << "\n";
  }
  out << "</pre>\n<h2 id=\"registry\">Registry changes (" << r.registry_changes.size() << ")</h2>\n";
  std::string reg;
  for (const auto& change : r.registry_changes) {
    switch (change.op) {
      case RegistryChange::Op::kDeleteKey: reg += "-[" + change.key + "]\n"; break;
      case RegistryChange::Op::kCreateKey: reg += "+[" + change.key + "]\n"; break;
      case RegistryChange::Op::kSetValue: reg += "+" + change.key + ": " + emu::RegValueText(change.value, "\n") + "\n"; break;
      case RegistryChange::Op::kDeleteValue:
        reg += "-" + change.key + ": " + emu::RegValueDeletionText(change.value.name) + "\n";
        break;
    }
  }
  out << Pre(reg, true);
  out << "<h2 id=\"files\">Files changed (" << r.files.size() << ")</h2>\n";
  for (const auto& file : r.files) {
    out << "<h3>" << Html(file.path) << "</h3>\n";
    if (file.before && file.after) {
      out << Pre(UnifiedDiff(*file.before, *file.after), true);
    } else {
      out << Pre(PrintableText(file.after.value_or(file.before.value_or(""))), false);
    }
  }
  out << "<h2 id=\"log\">Log lines (" << r.log.size() << ")</h2>\n";
  std::string log;
  for (const auto& line : r.log) log += PrintableText(line) + "\n";
  out << Pre(log, false);
  out << "<h2 id=\"message-boxes\">Message boxes (" << r.message_boxes.size() << ")</h2>\n";
  for (const auto& box : r.message_boxes) out << "<h3>" << Html(box.caption) << "</h3>\n" << Pre(box.text, false);
  out << "<h2 id=\"host-state\">Host state</h2>\n";
  std::string state = "settings file: " + r.host_state.settings_file + "\n";
  for (const auto& [name, path] : r.host_state.destination_dirs) state += "destination " + name + " = " + path + "\n";
  for (const auto& section : r.host_state.copy_sections) state += "copy section " + section + "\n";
  for (const auto& icon : r.host_state.icons) {
    state += "icon " + ShownValue(icon.title) + " -> " + ShownValue(icon.target) + " in " + ShownValue(icon.folder) + "\n";
  }
  out << Pre(state, false) << "</body></html>\n";
  return out.str();
}

json ReportJson(const RunResult& r) {
  json doc;
  doc["scenario"] = r.scenario;
  doc["machine"] = {{"folder", r.machine_folder.empty() ? json(nullptr) : json(r.machine_folder)},
                    {"fresh", r.fresh_machine},
                    {"computer_name", r.computer_name}};

  doc["events"] = json::array();
  for (const auto& e : r.events) {
    json event = {{"event", EventName(e.event)},
                  {"argument", e.argument.empty() ? json(nullptr) : json(Utf8(e.argument))},
                  {"outcome", e.failed ? "failed" : "completed"}};
    if (e.failed) event["reason"] = Utf8(e.reason);
    doc["events"].push_back(std::move(event));
  }

  doc["host_calls"] = json::array();
  for (const auto& call : r.host_calls) {
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
    doc["host_calls"].push_back(std::move(entry));
  }

  doc["registry_changes"] = json::array();
  for (const auto& change : r.registry_changes) {
    json entry = {{"op", OpName(change.op)}, {"key", Utf8(change.key)}};
    if (change.op == RegistryChange::Op::kSetValue || change.op == RegistryChange::Op::kDeleteValue) {
      entry["name"] = Utf8(change.value.name);
      entry["type"] = RegistryTypeName(change.value.type);
    }
    if (change.op == RegistryChange::Op::kSetValue) {
      entry["data"] = Utf8(RegistryDataText(change.value));
      entry["size"] = change.value.data.size();
    }
    doc["registry_changes"].push_back(std::move(entry));
  }

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

  const auto& s = r.host_state;
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
    state["directory_operations"].push_back(
        {{"operation", op.operation}, {"directory", Utf8(op.directory)}, {"result", VariantJson(op.result)}});
  }
  state["directories"] = json::object();
  for (const auto& [key, list] : s.directories) {
    json dirs = json::array();
    for (const auto& dir : list) dirs.push_back(VariantJson(dir));
    state["directories"][Utf8(key)] = std::move(dirs);
  }
  doc["host_state"] = std::move(state);
  return doc;
}

}  // namespace qvi::scenario
