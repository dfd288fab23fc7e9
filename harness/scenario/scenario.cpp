#include "scenario/scenario.h"

#include "scenario/exit_codes.h"
#include "scenario/suggest.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "emu/digest.h"
#include "emu/huge_page_heap.h"
#include "emu/machine.h"
#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "emu/settings.h"
#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"

namespace qvi::scenario {

namespace {

using nlohmann::json;

// Deeper than any scenario needs; the reader and the reports walk JSON
// recursively.
constexpr int kMaxDepth = 64;
// Scenario files are written by hand; a larger one is a mistake.
constexpr std::uintmax_t kMaxScenarioBytes = 64u << 20;
constexpr std::size_t kMaxEvents = 10'000;

std::string ReadRegularFile(const std::filesystem::path& file, std::uintmax_t max_bytes) {
  std::error_code ec;
  // Following a link is the user's choice here; a pipe or device is not.
  if (!std::filesystem::is_regular_file(file, ec)) throw ScenarioError(file.string() + ": not a readable regular file");
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec || size > max_bytes) {
    throw ScenarioError(file.string() + ": larger than " + std::to_string(max_bytes) + " bytes");
  }
  std::ifstream in(file, std::ios::binary);
  std::string text(size, '\0');
  if (!in.read(text.data(), static_cast<std::streamsize>(size)) || in.peek() != std::char_traits<char>::eof()) {
    throw ScenarioError(file.string() + ": cannot read it whole");
  }
  return text;
}


// Line and column (both 1-based) of the byte at 1-based offset `byte`.
std::pair<std::size_t, std::size_t> LineAndColumn(std::string_view text, std::size_t byte) {
  const std::size_t end = std::min(byte == 0 ? 0 : byte - 1, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, end - line_start + 1};
}

// Walks a JSON document and turns every wrong field into a ScenarioError that
// names its path.
class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}
  const std::string& source() const { return source_; }

  [[noreturn]] void Fail(const std::string& path, const std::string& message) const {
    throw ScenarioError(source_ + ": field " + (path.empty() ? "(top level)" : path) + ": " + message);
  }

  void ExpectObject(const json& value, const std::string& path, const std::set<std::string>& allowed) const {
    if (!value.is_object()) Fail(path, "must be an object");
    for (const auto& [key, unused] : value.items()) {
      if (!allowed.contains(key)) Fail(Join(path, key), "unknown field" + DidYouMean(key, allowed));
    }
  }

  // A string as the scenario file holds it (UTF-8): names, descriptions and
  // paths of the computer qvihost runs on.
  std::string String(const json& value, const std::string& path) const {
    if (!value.is_string()) Fail(path, "must be a string");
    return value.get<std::string>();
  }

  // A string meant for the machine, in its code page.
  std::string MachineText(const json& value, const std::string& path) const {
    std::string bytes;
    if (!code_page::FromUtf8(String(value, path), bytes)) {
      Fail(path, "holds a character that code page 1252 cannot hold");
    }
    return bytes;
  }

  // Machine text given as one string or as an array of lines joined by `eol`.
  std::string Text(const json& value, const std::string& path, const std::string& eol) const {
    if (value.is_string()) return MachineText(value, path);
    if (!value.is_array()) Fail(path, "must be a string or an array of lines");
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) text += MachineText(value[i], Index(path, i)) + eol;
    return text;
  }

  // What a host answers: a whole number, a text or null (Empty).
  host::Variant Answer(const json& value, const std::string& path) const {
    if (value.is_null()) return {};
    if (value.is_string()) return MachineText(value, path);
    if (value.is_number_integer()) return Int(value, path);
    Fail(path, "must be a whole number, a string or null");
  }

  std::int32_t Int(const json& value, const std::string& path) const {
    if (!value.is_number_integer()) Fail(path, "must be a whole number");
    // The reader keeps numbers from 2^63 up as unsigned; read as signed they
    // would wrap to negative numbers inside the range.
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t{INT32_MAX}) {
      Fail(path, "is outside the 32-bit range");
    }
    const auto wide = value.get<std::int64_t>();
    if (wide < INT32_MIN || wide > INT32_MAX) Fail(path, "is outside the 32-bit range");
    return static_cast<std::int32_t>(wide);
  }

  // A version as a number or as "major.minor" text.
  std::int32_t Version(const json& value, const std::string& path) const {
    if (value.is_number_integer()) return Int(value, path);
    if (value.is_string()) {
      if (const auto version = ParseVersionText(value.get<std::string>())) return *version;
    }
    Fail(path, "must be a version such as \"4.0\" or a whole number");
  }

  std::int32_t NumberKey(const std::string& key, const std::string& path) const {
    std::int32_t number = 0;
    const auto [ptr, ec] = std::from_chars(key.data(), key.data() + key.size(), number);
    if (key.empty() || ec != std::errc() || ptr != key.data() + key.size()) Fail(path, "the key must be a whole number");
    return number;
  }

  static std::string Join(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
  }
  static std::string Index(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

 private:
  std::string source_;
};

// The folder a scenario's paths must stay in: its own, or the nearest one
// above it that its owner marked with a .qvihost-root file, so that scenarios
// in sibling folders can share bases and seeds kept beside them.
std::filesystem::path ScenarioRoot(const std::filesystem::path& folder) {
  for (std::filesystem::path at = folder;; at = at.parent_path()) {
    if (emu::TrustedFile(at / kRootMarker)) return at;
    if (at == at.root_path() || at.parent_path() == at) return folder;
  }
}

// A path a scenario names, inside the scenario's own folder (or its root's):
// a scenario from elsewhere must not read or write anything else on this
// computer.
std::filesystem::path Confined(const Reader& r, const std::filesystem::path& base_dir, const std::string& name,
                               const std::string& field) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(base_dir.empty() ? fs::current_path(ec) : fs::absolute(base_dir, ec), ec);
  const fs::path path = fs::weakly_canonical(base / name, ec);
  if (ec) r.Fail(field, "cannot resolve " + name + ": " + ec.message());
  const fs::path root = ScenarioRoot(base);
  const fs::path relative = path.lexically_relative(root);
  if (fs::path(name).is_absolute() || relative.empty() || *relative.begin() == "..") {
    r.Fail(field, "\"" + name + "\" lies outside the scenario's folder " + root.string() +
                      (root == base ? " (a " + std::string(kRootMarker) + " file marks a folder above as the root)"
                                    : " (the root its " + std::string(kRootMarker) + " marks)"));
  }
  return path;
}

void ReadDrives(const Reader& r, const json& drives, Scenario& s) {
  if (!drives.is_array()) r.Fail("machine.drives", "must be an array of drive letters");
  for (std::size_t i = 0; i < drives.size(); ++i) {
    const std::string path = Reader::Index("machine.drives", i);
    const std::string name = r.String(drives[i], path);
    const char letter = name.empty() ? '\0' : code_page::ToUpper(name[0]);
    if (letter < 'A' || letter > 'Z' || name.size() > 2 || (name.size() == 2 && name[1] != ':')) {
      r.Fail(path, "\"" + name + "\" is not a drive letter such as \"D\"");
    }
    if (std::find(s.drives.begin(), s.drives.end(), letter) == s.drives.end()) s.drives.push_back(letter);
  }
}

void ReadMachine(const Reader& r, const json& m, const std::filesystem::path& base_dir, SeedCache& seeds,
                 Scenario& s) {
  r.ExpectObject(
      m, "machine",
      {"folder", "computer_name", "windows_directory", "code_page", "registry", "registry_file", "files", "drives"});
  if (m.contains("drives")) ReadDrives(r, m["drives"], s);
  if (m.contains("folder")) {
    const std::string folder = r.String(m["folder"], "machine.folder");
    if (folder.empty()) r.Fail("machine.folder", "must not be empty");
    s.machine_folder = Confined(r, base_dir, folder, "machine.folder");
  }
  if (m.contains("computer_name")) s.machine.computer_name = r.MachineText(m["computer_name"], "machine.computer_name");
  if (m.contains("windows_directory")) {
    s.machine.windows_directory = r.MachineText(m["windows_directory"], "machine.windows_directory");
  }
  if (m.contains("code_page")) {
    const std::int32_t cp = r.Int(m["code_page"], "machine.code_page");
    if (cp <= 0) r.Fail("machine.code_page", "must be positive");
    s.machine.code_page = static_cast<std::uint32_t>(cp);
  }
  if (m.contains("registry") && m.contains("registry_file")) {
    r.Fail("machine.registry_file", "give either registry or registry_file, not both");
  }
  if (m.contains("registry")) s.registry = r.Text(m["registry"], "machine.registry", "\r\n");
  if (m.contains("registry_file")) {
    const std::filesystem::path file =
        Confined(r, base_dir, r.String(m["registry_file"], "machine.registry_file"), "machine.registry_file");
    std::error_code ec;
    // Following a link is the user's choice here; a pipe or device is not.
    if (!std::filesystem::is_regular_file(file, ec)) {
      r.Fail("machine.registry_file", file.string() + ": not a readable regular file");
    }
    try {
      s.registry_seed = seeds.Get(file);
    } catch (const emu::MachineError& error) {
      r.Fail("machine.registry_file", error.what());
    }
  }
  for (const char* field : {"computer_name", "windows_directory", "code_page"}) {
    if (m.contains(field)) s.machine_fields.emplace_back(field);
  }
  // Checked here, where the field can be named: the machine would name its
  // settings file, a temporary one for a fresh machine.
  try {
    emu::ValidateSettings(s.machine, "");
  } catch (const emu::MachineError& error) {
    const std::string what = error.what();
    r.Fail(what.rfind("ComputerName", 0) == 0       ? "machine.computer_name"
           : what.rfind("WindowsDirectory", 0) == 0 ? "machine.windows_directory"
                                                    : "machine.code_page",
           what);
  }
  if (!s.registry.empty()) {
    try {
      emu::RegistryStore seed;
      emu::ImportRegText(seed, s.registry, "seed");
    } catch (const emu::MachineError& error) {
      r.Fail("machine.registry", error.what());
    }
  }
  if (m.contains("files")) {
    const json& files = m["files"];
    if (!files.is_array()) r.Fail("machine.files", "must be an array");
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string path = Reader::Index("machine.files", i);
      r.ExpectObject(files[i], path, {"path", "content"});
      if (!files[i].contains("path")) r.Fail(path + ".path", "is missing");
      SeedFile file{r.MachineText(files[i]["path"], path + ".path"), ""};
      if (files[i].contains("content")) file.content = r.Text(files[i]["content"], path + ".content", "\r\n");
      s.files.push_back(std::move(file));
    }
  }
}

// The tables of a scenario's "host" section, each field named by its path.
class HostReader {
 public:
  HostReader(const Reader& r, const json& h) : r_(r), h_(h) {}

  const json& Object(const char* name) const {
    const json& value = h_[name];
    if (!value.is_object()) r_.Fail(Reader::Join("host", name), "must be an object");
    return value;
  }
  // Key -> answers; a single answer is a list of one.
  std::map<std::string, std::vector<host::Variant>> Lists(const char* name) const {
    std::map<std::string, std::vector<host::Variant>> table;
    for (const auto& [key, value] : Object(name).items()) {
      const std::string path = Reader::Join(Reader::Join("host", name), key);
      auto& list = table[r_.MachineText(key, path)];
      if (!value.is_array()) {
        list = {r_.Answer(value, path)};
        continue;
      }
      for (std::size_t i = 0; i < value.size(); ++i) list.push_back(r_.Answer(value[i], Reader::Index(path, i)));
    }
    return table;
  }
  // Number -> what `convert` makes of each value.
  template <typename Convert>
  auto Numbered(const char* name, Convert convert) const {
    std::map<std::int32_t, decltype(convert(json(), std::string()))> table;
    for (const auto& [key, value] : Object(name).items()) {
      const std::string path = Reader::Join(Reader::Join("host", name), key);
      // "07014" and "7014" name one number: which answer wins would be chance.
      const auto [at, added] = table.try_emplace(r_.NumberKey(key, path));
      if (!added) r_.Fail(path, "names the same number as another key");
      at->second = convert(value, path);
    }
    return table;
  }
  std::map<std::int32_t, host::Variant> NumberedAnswers(const char* name) const {
    return Numbered(name, [this](const json& value, const std::string& path) { return r_.Answer(value, path); });
  }

 private:
  const Reader& r_;
  const json& h_;
};

void ReadCopyFiles(const Reader& r, const HostReader& hr, rhost::HostConfig& c) {
  for (const auto& [section, files] : hr.Object("copy_files").items()) {
    const std::string path = "host.copy_files." + section;
    if (!files.is_array()) r.Fail(path, "must be an array of files");
    auto& list = c.copy_files[r.MachineText(section, path)];
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string at = Reader::Index(path, i);
      r.ExpectObject(files[i], at, {"directory", "file", "content"});
      for (const char* field : {"directory", "file"}) {
        if (!files[i].contains(field)) r.Fail(at + "." + field, "is missing");
      }
      list.push_back({r.MachineText(files[i]["directory"], at + ".directory"), r.MachineText(files[i]["file"], at + ".file"),
                      files[i].contains("content") ? r.Text(files[i]["content"], at + ".content", "\r\n") : ""});
    }
  }
}

rhost::InjectedFailure ReadHostFailure(const Reader& r, const json& f, const std::string& path) {
  r.ExpectObject(f, path, {"control", "dispid", "occurrence", "number", "description"});
  rhost::InjectedFailure failure;
  if (f.contains("control")) {
    const std::string control = r.String(f["control"], path + ".control");
    if (control == rhost::ControlName(host::Control::kQviPublic)) {
      failure.control = host::Control::kQviPublic;
    } else if (control == rhost::ControlName(host::Control::kQviNTNWSvc)) {
      failure.control = host::Control::kQviNTNWSvc;
    } else {
      r.Fail(path + ".control", "must be \"QviPublic\" or \"QviNTNWSvc\"");
    }
  }
  if (!f.contains("dispid")) r.Fail(path + ".dispid", "is missing");
  failure.dispid = r.Int(f["dispid"], path + ".dispid");
  if (f.contains("occurrence")) failure.occurrence = r.Int(f["occurrence"], path + ".occurrence");
  if (failure.occurrence < 0) r.Fail(path + ".occurrence", "must be 0 (every call) or more");
  if (f.contains("number")) failure.number = r.Int(f["number"], path + ".number");
  if (f.contains("description")) failure.description = r.MachineText(f["description"], path + ".description");
  return failure;
}

// The answers of the host's removal and its service control.
void ReadRemovalAndService(const Reader& r, const json& h, const HostReader& hr, Scenario& s) {
  rhost::HostConfig& c = s.host;
  if (h.contains("removal_directories")) {
    for (const auto& [key, value] : hr.Object("removal_directories").items()) {
      const std::string path = "host.removal_directories." + key;
      c.removal_directories[r.MachineText(key, path)] = r.Answer(value, path);
    }
  }
  if (h.contains("directory_operation_results")) c.directory_operation_results = hr.NumberedAnswers("directory_operation_results");
  if (h.contains("directory_operations")) {
    // Over the defaults: naming one operation keeps the other's action.
    const auto action = [&](const json& value, const std::string& path) {
      const auto known = rhost::DirectoryActionByName(r.String(value, path));
      if (!known) r.Fail(path, "must be \"remove_copied\", \"remove_empty\", \"remove_tree\" or \"none\"");
      return *known;
    };
    for (const auto& [operation, act] : hr.Numbered("directory_operations", action)) c.directory_actions[operation] = act;
  }
  // Without their own answers the service control reports the machine's name.
  s.unc_name_is_machines = !h.contains("unc_computer_name");
  s.drive_prefix_is_machines = !h.contains("drive_prefix");
  if (h.contains("unc_computer_name")) c.unc_computer_name = r.Answer(h["unc_computer_name"], "host.unc_computer_name");
  if (h.contains("drive_prefix")) c.drive_prefix = r.Answer(h["drive_prefix"], "host.drive_prefix");
  if (h.contains("server_versions")) {
    for (const auto& [key, value] : hr.Object("server_versions").items()) {
      const std::string path = "host.server_versions." + key;
      c.server_versions[r.MachineText(key, path)] = r.Version(value, path);
    }
  }
}

void ReadHost(const Reader& r, const json& h, Scenario& s) {
  const std::set<std::string> fields = {
      "directories",  "removal_directories", "installing",  "platform_code", "platform_version",
      "texts",        "language",            "shell_folders", "parameters",  "icon_result",
      "directory_operation_results", "unc_computer_name", "drive_prefix", "server_versions", "failures", "copy_files",
      "directory_operations"};
  r.ExpectObject(h, "host", fields);
  rhost::HostConfig& c = s.host;
  const HostReader hr(r, h);
  if (h.contains("directories")) c.directories = hr.Lists("directories");
  if (h.contains("copy_files")) ReadCopyFiles(r, hr, c);
  if (h.contains("installing")) {
    // true and false stand for the usual answers, 1 and 0.
    const json& value = h["installing"];
    c.installing = value.is_boolean() ? host::Variant(std::int32_t{value.get<bool>() ? 1 : 0})
                                      : r.Answer(value, "host.installing");
  }
  if (h.contains("platform_code")) c.platform_code = r.Answer(h["platform_code"], "host.platform_code");
  if (h.contains("platform_version")) c.platform_version = r.Version(h["platform_version"], "host.platform_version");
  if (h.contains("texts")) c.texts = hr.NumberedAnswers("texts");
  if (h.contains("language")) c.language = r.Answer(h["language"], "host.language");
  if (h.contains("shell_folders")) c.shell_folders = hr.NumberedAnswers("shell_folders");
  if (h.contains("parameters")) c.parameters = hr.Lists("parameters");
  if (h.contains("icon_result")) c.icon_result = r.Answer(h["icon_result"], "host.icon_result");
  ReadRemovalAndService(r, h, hr, s);
  if (h.contains("failures")) {
    const json& failures = h["failures"];
    if (!failures.is_array()) r.Fail("host.failures", "must be an array");
    for (std::size_t i = 0; i < failures.size(); ++i) {
      c.failures.push_back(ReadHostFailure(r, failures[i], Reader::Index("host.failures", i)));
    }
  }
}

void ReadPlatformFailures(const Reader& r, const json& list, Scenario& s) {
  if (!list.is_array()) r.Fail("platform_failures", "must be an array");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string path = Reader::Index("platform_failures", i);
    const json& f = list[i];
    r.ExpectObject(f, path, {"function", "occurrence", "code"});
    if (!f.contains("function")) r.Fail(path + ".function", "is missing");
    const auto function = faults::FunctionFromName(r.String(f["function"], path + ".function"));
    if (!function) r.Fail(path + ".function", "is not a platform function such as \"RegCreateKeyA\"");
    PlatformFailure failure;
    failure.function = *function;
    if (f.contains("occurrence")) failure.occurrence = r.Int(f["occurrence"], path + ".occurrence");
    if (failure.occurrence < 0) r.Fail(path + ".occurrence", "must be 0 (every call) or more");
    if (f.contains("code")) failure.code = r.Int(f["code"], path + ".code");
    s.platform_failures.push_back(failure);
  }
}

void ReadEvents(const Reader& r, const json& list, Scenario& s) {
  if (!list.is_array()) r.Fail("events", "must be an array");
  // Every event keeps its host calls for the report: a bound on events is one
  // on memory.
  if (list.size() > kMaxEvents) r.Fail("events", "more than " + std::to_string(kMaxEvents) + " events");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string path = Reader::Index("events", i);
    const json& e = list[i];
    if (!e.is_string()) {
      r.ExpectObject(e, path, {"event", "argument"});
      if (!e.contains("event")) r.Fail(path + ".event", "is missing");
    }
    const std::string name_path = e.is_string() ? path : path + ".event";
    std::string name = r.String(e.is_string() ? e : e["event"], name_path);
    if (name == "create") name = "creation";
    const auto event = EventByName(name);
    if (!event) r.Fail(name_path, "unknown event \"" + name + "\"");
    ScenarioEvent scenario_event{*event, ""};
    if (!e.is_string() && e.contains("argument")) {
      const json& a = e["argument"];
      switch (ArgumentOf(*event)) {
        case EventArgument::kNumber: scenario_event.argument = std::to_string(r.Int(a, path + ".argument")); break;
        case EventArgument::kText: scenario_event.argument = r.MachineText(a, path + ".argument"); break;
        case EventArgument::kNone: r.Fail(path + ".argument", "the event " + name + " takes no argument");
      }
    }
    s.events.push_back(std::move(scenario_event));
  }
}

// Builds the document as the library's own reader does, refusing what JSON
// leaves open: a key given twice in one object (the reader would silently
// keep one of them), and nesting deeper than kMaxDepth.
class StrictDocument {
 public:
  StrictDocument(json& root, const std::string& source) : root_(root), source_(source) {}

  bool null() { return Put(nullptr); }
  bool boolean(bool value) { return Put(value); }
  bool number_integer(json::number_integer_t value) { return Put(value); }
  bool number_unsigned(json::number_unsigned_t value) { return Put(value); }
  bool number_float(json::number_float_t value, const json::string_t&) { return Put(value); }
  bool string(json::string_t& value) { return Put(value); }
  bool binary(json::binary_t& value) { return Put(json::binary(value)); }
  bool start_object(std::size_t) {
    Put(json::object());
    open_.push_back(last_);
    names_.push_back(key_);
    return true;
  }
  bool key(json::string_t& name) {
    CheckDepth();
    json& object = *open_.back();
    if (object.contains(name)) {
      std::string where;
      for (std::size_t i = 1; i < names_.size(); ++i) where += (where.empty() ? "" : ".") + names_[i];
      throw ScenarioError(source_ + ": field " + (where.empty() ? "(top level)" : where) + ": the key \"" + name +
                          "\" is given twice");
    }
    key_ = name;
    slot_ = &object[name];
    return true;
  }
  bool end_object() {
    open_.pop_back();
    names_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    Put(json::array());
    open_.push_back(last_);
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  template <typename Error>
  bool parse_error(std::size_t, const std::string&, const Error& error) {
    throw error;
  }

 private:
  void CheckDepth() const {
    if (open_.size() > static_cast<std::size_t>(kMaxDepth)) {
      throw ScenarioError(source_ + ": nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
  }
  // The value goes where the reader stands: the document itself, the end of
  // the open array, or the slot of the key just read.
  bool Put(json value) {
    CheckDepth();
    if (open_.empty()) {
      root_ = std::move(value);
      last_ = &root_;
    } else if (open_.back()->is_array()) {
      open_.back()->push_back(std::move(value));
      last_ = &open_.back()->back();
    } else {
      *slot_ = std::move(value);
      last_ = slot_;
    }
    return true;
  }

  json& root_;
  const std::string& source_;
  std::vector<json*> open_;
  std::vector<std::string> names_;  // the key each open object stands under
  std::string key_;
  json* slot_ = nullptr;
  json* last_ = nullptr;
};

// The JSON document of a scenario's text, read strictly (StrictDocument).
json ParseDocument(std::string_view json_text, const std::string& source) {
  json doc;
  try {
    StrictDocument reader(doc, source);
    json::sax_parse(json_text, &reader);
  } catch (const json::parse_error& error) {
    const auto [line, column] = LineAndColumn(json_text, error.byte);
    // nlohmann's own text repeats its byte offset; keep only the explanation.
    std::string why = error.what();
    if (const auto at = why.find(": syntax error"); at != std::string::npos) why = why.substr(at + 2);
    throw ScenarioError(source + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + why);
  } catch (const json::exception& error) {
    // A number too large for a double ("1e400"): the library names the text,
    // which is found again for its place.
    std::string why = error.what();
    if (const auto at = why.find("] "); at != std::string::npos) why = why.substr(at + 2);
    std::size_t byte = 0;
    if (const auto quote = why.find('\''); quote != std::string::npos) {
      const std::string token = why.substr(quote + 1, why.find('\'', quote + 1) - quote - 1);
      if (const auto at = json_text.find(token); !token.empty() && at != std::string_view::npos) byte = at + 1;
    }
    const auto [line, column] = LineAndColumn(json_text, byte);
    throw ScenarioError(source + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + why);
  }
  return doc;
}

std::string EmbeddedNameList() {
  std::string known;
  for (const std::string& name : EmbeddedScenarioNames()) known += (known.empty() ? "" : ", ") + name;
  return known;
}

// A scenario on the way from the file being read to the base it names.
struct Link {
  std::string identity;  // the file's canonical path, or "embedded:" and the name
  std::string shown;     // as messages name it
};

// A base file names its paths relative to its own folder; the scenario built
// on it reads them relative to the naming file's folder, `from` above the
// base's.
void RebasePaths(json& doc, const std::filesystem::path& from) {
  if (from.empty() || from == "." || !doc.contains("machine") || !doc["machine"].is_object()) return;
  json& machine = doc["machine"];
  for (const char* field : {"folder", "registry_file"}) {
    const auto it = machine.find(field);
    if (it == machine.end() || !it->is_string()) continue;
    const std::filesystem::path path(it->get<std::string>());
    if (!path.empty() && path.is_relative()) *it = (from / path).generic_string();
  }
}

// In a scenario a null is an Empty answer; in a patch it removes the base's
// field. A null where the base has nothing to remove was meant as an answer
// the patch cannot give: refused, so that it is not silently dropped.
void CheckNullsRemoveSomething(const Reader& r, const json& base, const json& patch, const std::string& path) {
  for (const auto& [key, value] : patch.items()) {
    const std::string field = Reader::Join(path, key);
    const bool present = base.is_object() && base.contains(key);
    if (value.is_null() && !present) {
      r.Fail(field, "null removes a field of the base, which has none here; a null answer (Empty) can only be "
                    "given in a scenario without a base");
    }
    if (value.is_object()) CheckNullsRemoveSomething(r, present ? base[key] : json(), value, field);
  }
}

// The document with its "base" resolved: the base's own document (its base
// resolved first) without its name and description, with this document's
// other fields applied over it as a JSON merge patch. `chain` holds the
// scenarios already on the way, to refuse a base that leads back to one.
json WithBase(json doc, const std::string& source, const std::filesystem::path& base_dir, std::vector<Link>& chain) {
  namespace fs = std::filesystem;
  if (!doc.is_object() || !doc.contains("base")) return doc;
  const Reader r(source);
  const std::string name = r.String(doc["base"], "base");
  Link link;
  std::string text;
  fs::path folder;  // of a base file; empty for an embedded scenario
  if (const auto embedded = EmbeddedScenarioText(name)) {
    link = {"embedded:" + name, name};
    text = *embedded;
  } else {
    const fs::path file = Confined(r, base_dir, name, "base");
    std::error_code ec;
    if (!fs::exists(file, ec)) {
      r.Fail("base", "\"" + name + "\" is neither an embedded scenario (" + EmbeddedNameList() + ") nor a file");
    }
    link = {file.string(), (fs::path(source).parent_path() / name).string()};
    try {
      text = ReadRegularFile(file, kMaxScenarioBytes);
    } catch (const ScenarioError& error) {
      r.Fail("base", error.what());
    }
    folder = file.parent_path();
  }
  std::string way;
  for (const Link& on_the_way : chain) way += on_the_way.shown + " -> ";
  for (const Link& on_the_way : chain) {
    if (on_the_way.identity == link.identity) r.Fail("base", "\"" + name + "\" closes a cycle: " + way + link.shown);
  }
  chain.push_back(link);
  json base = ParseDocument(text, link.shown);
  if (!base.is_object()) r.Fail("base", "\"" + name + "\" is not a scenario: its document is not an object");
  base = WithBase(std::move(base), link.shown, folder.empty() ? base_dir : folder, chain);
  base.erase("name");
  base.erase("description");
  if (!folder.empty()) {
    std::error_code ec;
    const fs::path naming = fs::weakly_canonical(base_dir.empty() ? fs::current_path(ec) : fs::absolute(base_dir, ec), ec);
    RebasePaths(base, folder.lexically_relative(naming));
  }
  doc.erase("base");
  CheckNullsRemoveSomething(r, base, doc, "");
  base.merge_patch(doc);
  return base;
}

Scenario ReadScenario(std::string_view json_text, const std::string& source, const std::filesystem::path& base_dir,
                      std::vector<Link> chain, SeedCache& seeds);

// A life cycle's steps, each a scenario of its own on the document's machine:
// the document patched by the step, or the step's "base" patched by it.
void ReadSteps(const Reader& r, const json& doc, const std::filesystem::path& base_dir, const std::vector<Link>& chain,
               SeedCache& seeds, Scenario& s) {
  const json& steps = doc["steps"];
  if (!steps.is_array() || steps.empty()) r.Fail("steps", "must be an array of steps");
  if (doc.contains("events")) r.Fail("events", "a life cycle has events only in its steps");
  json shared = doc;
  for (const char* field : {"steps", "name", "description", "expect"}) shared.erase(field);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::string path = Reader::Index("steps", i);
    r.ExpectObject(steps[i], path, {"base", "name", "host", "platform_failures", "events", "expect", "seeds"});
    if (steps[i].contains("seeds") && !steps[i]["seeds"].is_boolean()) r.Fail(path + ".seeds", "must be true or false");
    const bool brings_seeds = steps[i].value("seeds", true);
    json step = steps[i].contains("base") ? json{{"base", steps[i]["base"]}} : shared;
    json patch = steps[i];
    patch.erase("base");
    patch.erase("seeds");
    step.merge_patch(patch);
    Scenario one = ReadScenario(step.dump(), r.source() + " " + path, base_dir, chain, seeds);
    if (one.name.empty()) {
      one.name = steps[i].contains("base") ? std::filesystem::path(steps[i]["base"].get<std::string>()).stem().string()
                                           : "step " + std::to_string(i + 1);
    }
    // The machine is the life cycle's: its settings and folder are not the
    // step's to change. A step made from another scenario brings that one's
    // seeds, which the run adds where absent, as chained runs would.
    one.machine = s.machine;
    one.machine_fields = s.machine_fields;
    one.machine_folder.reset();
    if (!brings_seeds) {
      one.registry.clear();
      one.registry_seed.reset();
      one.files.clear();
      one.drives.clear();
    }
    s.steps.push_back(std::move(one));
  }
}

Scenario ReadScenario(std::string_view json_text, const std::string& source, const std::filesystem::path& base_dir,
                      std::vector<Link> chain, SeedCache& seeds) {
  json doc = WithBase(ParseDocument(json_text, source), source, base_dir, chain);
  const Reader r(source);
  r.ExpectObject(doc, "",
                 {"name", "description", "machine", "host", "platform_failures", "events", "expect", "steps"});
  Scenario s;
  if (doc.contains("name")) s.name = r.String(doc["name"], "name");
  if (doc.contains("description")) s.description = r.Text(doc["description"], "description", "\n");
  if (doc.contains("machine")) ReadMachine(r, doc["machine"], base_dir, seeds, s);
  ReadHost(r, doc.contains("host") ? doc["host"] : json::object(), s);
  if (doc.contains("platform_failures")) ReadPlatformFailures(r, doc["platform_failures"], s);
  if (doc.contains("steps")) {
    ReadSteps(r, doc, base_dir, chain, seeds, s);
  } else {
    if (!doc.contains("events")) r.Fail("events", "is missing");
    ReadEvents(r, doc["events"], s);
  }
  if (doc.contains("expect")) {
    try {
      s.expect = doc["expect"].get<Expectations>();
    } catch (const ExpectFieldError& error) {
      r.Fail("expect" + error.path(), error.what());
    }
    if (s.steps.empty() && s.expect->left_behind) {
      r.Fail("expect.left_behind", "only a life cycle (steps) has something left behind");
    }
    Expectations rest = *s.expect;
    rest.left_behind.reset();
    if (!s.steps.empty() && !rest.empty()) {
      r.Fail("expect", "a life cycle's own expectations are \"left_behind\"; each step takes its own \"expect\"");
    }
  }
  s.text = std::string(json_text);
  s.source = source;
  return s;
}

}  // namespace

std::optional<std::int32_t> ParseVersionText(std::string_view text) {
  const auto dot = text.find('.');
  const std::string_view major_text = text.substr(0, dot);
  const std::string_view minor_text = dot == std::string_view::npos ? std::string_view("0") : text.substr(dot + 1);
  const auto number = [](std::string_view part) -> std::optional<std::int32_t> {
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || ec != std::errc() || ptr != part.data() + part.size() || value < 0 || value > 0x7FFF) {
      return std::nullopt;
    }
    return value;
  };
  const auto major = number(major_text);
  const auto minor = number(minor_text);
  if (!major || !minor) return std::nullopt;
  return *major * 65536 + *minor;
}

rhost::HostConfig HostConfigFor(const Scenario& scenario, const std::string& computer_name) {
  rhost::HostConfig config = scenario.host;
  if (scenario.unc_name_is_machines) config.unc_computer_name = "\\\\" + computer_name + "\\";
  if (scenario.drive_prefix_is_machines) config.drive_prefix = "\\\\" + computer_name;
  return config;
}

Scenario ParseScenario(std::string_view json_text, const std::string& source, const std::filesystem::path& base_dir,
                       SeedCache* seeds) {
  // A life cycle's steps read the document's machine too: one cache at least.
  SeedCache own;
  return ReadScenario(json_text, source, base_dir, {}, seeds ? *seeds : own);
}

Scenario LoadScenario(const std::string& name_or_file, SeedCache* seeds) {
  if (const auto text = EmbeddedScenarioText(name_or_file)) return ParseScenario(*text, name_or_file, {}, seeds);
  const std::filesystem::path file(name_or_file);
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    throw ScenarioError(name_or_file + ": neither an embedded scenario (" + EmbeddedNameList() +
                        ") nor a readable file");
  }
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(file, ec), ec);
  SeedCache own;
  Scenario s = ReadScenario(ReadRegularFile(file, kMaxScenarioBytes), name_or_file, file.parent_path(),
                            {{canonical.string(), name_or_file}}, seeds ? *seeds : own);
  if (s.name.empty()) s.name = file.stem().string();
  return s;
}

std::string MergedScenarioText(const std::string& file_name) {
  namespace fs = std::filesystem;
  // Refused as a run would refuse it, so what is shown is what runs.
  LoadScenario(file_name);
  const fs::path file(file_name);
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(fs::absolute(file, ec), ec);
  std::vector<Link> chain{{canonical.string(), file_name}};
  json doc = WithBase(ParseDocument(ReadRegularFile(file, kMaxScenarioBytes), file_name), file_name,
                      file.parent_path(), chain);
  if (!doc.contains("steps")) return doc.dump(2) + "\n";
  for (json& step : doc["steps"]) {
    if (!step.contains("base")) continue;
    std::vector<Link> way = chain;
    json merged = WithBase(json{{"base", step["base"]}}, file_name, file.parent_path(), way);
    json patch = step;
    patch.erase("base");
    patch.erase("seeds");
    merged.merge_patch(patch);
    // A step runs on the life cycle's machine; it brings only the seeds.
    if (!step.value("seeds", true)) merged.erase("machine");
    step = std::move(merged);
  }
  return doc.dump(2) + "\n";
}

RegistrySeed::RegistrySeed(std::filesystem::path file) : file_(std::move(file)) {
  stamp_ = emu::StampOf(file_);
  first_ = Read(digest_);
}

std::unique_ptr<emu::RegistryStore> RegistrySeed::Read(std::uint64_t& digest) {
  emu::FileReader reader(file_, emu::Machine::kMaxRegistryBytes);
  ++reads_;
  if (!reader.exists()) throw emu::MachineError(file_.string() + ": not found");
  auto store = std::make_unique<emu::RegistryStore>();
  emu::WordDigest bytes;
  emu::HugePageHeap heap(reader.size());
  emu::ImportRegText(
      *store,
      [&](std::string& out) {
        const std::size_t before = out.size();
        const bool more = reader.ReadMore(out, 1 << 16);
        bytes.Add(std::string_view(out).substr(before));
        heap.Advise();
        return more;
      },
      "seed");
  // The digest is of the whole file, whatever the parser asked for.
  for (std::string rest; reader.ReadMore(rest, 1 << 16); rest.clear()) bytes.Add(rest);
  digest = bytes.Value();
  return store;
}

std::unique_ptr<emu::RegistryStore> RegistrySeed::Take() {
  {
    const std::lock_guard lock(mutex_);
    if (first_) return std::move(first_);
  }
  std::uint64_t digest = 0;
  auto store = Read(digest);
  if (digest != digest_) {
    throw emu::MachineError(file_.string() + ": changed since the scenario was read");
  }
  return store;
}

std::shared_ptr<RegistrySeed> SeedCache::Get(const std::filesystem::path& file) {
  const emu::FileStamp stamp = emu::StampOf(file);
  for (const auto& seed : seeds_) {
    if (stamp.exists && seed->stamp() == stamp) return seed;
  }
  auto seed = std::make_shared<RegistrySeed>(file);
  for (const auto& known : seeds_) {
    if (known->stamp().identity == seed->stamp().identity && known->digest() == seed->digest()) return known;
  }
  seeds_.push_back(seed);
  return seed;
}

}  // namespace qvi::scenario

namespace qvi::scenario {

bool IsBadInput(const std::exception& error) {
  return dynamic_cast<const ScenarioError*>(&error) != nullptr ||
         dynamic_cast<const emu::MachineError*>(&error) != nullptr ||
         dynamic_cast<const emu::PathError*>(&error) != nullptr ||
         // The host refused to look into a folder of the machine or the scenario.
         dynamic_cast<const std::filesystem::filesystem_error*>(&error) != nullptr;
}

}  // namespace qvi::scenario
