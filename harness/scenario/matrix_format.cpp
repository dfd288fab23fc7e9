// The matrix for its readers: readable text, an HTML page, one JSON document.
#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include "replacement_host/operation_names.h"
#include "scenario/html.h"
#include "scenario/matrix.h"

namespace qvi::scenario {

namespace {

constexpr Severity kSeverities[] = {Severity::kOutcomeChanged, Severity::kStateLost, Severity::kHostChanged,
                                    Severity::kStateAdded, Severity::kNone};

// The rows of `severity` and their faults: folded or shown, the counts are
// the whole matrix's.
std::pair<std::size_t, std::size_t> CountOf(const Matrix& m, Severity severity) {
  std::size_t rows = 0;
  std::size_t faults = 0;
  for (const MatrixRow& row : m.rows) {
    if (row.severity != severity) continue;
    ++rows;
    faults += row.faults.size();
  }
  return {rows, faults};
}

// SeverityName's first words, but "state silently lost", which is "lost".
constexpr const char* kSeverityKeywords[] = {"outcome", "lost", "host", "added", "none"};

// "creation completed; qviSetup failed 440: Automation error".
std::string JoinedOutcomes(const std::vector<EventEnd>& outcomes) {
  std::string text;
  for (const EventEnd& outcome : outcomes) text += (text.empty() ? "" : "; ") + outcome.Text();
  return text;
}

// A log line of several lines keeps its row readable: the lines after the
// first are indented by `indent` columns, beneath its text, rather than
// starting at the margin where they would read as lines of the matrix.
std::string ContinuedLines(const std::string& line, std::size_t indent) {
  std::string text;
  for (std::size_t i = 0; i < line.size(); ++i) {
    text += line[i];
    if (line[i] == '\n' && i + 1 < line.size()) text.append(indent, ' ');
  }
  return text;
}

std::string Counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string CallName(const Fault& f) {
  return f.host ? std::string(rhost::OperationName(f.control, f.dispid)) : std::string(faults::FunctionName(f.function));
}

// One line of a row as the matrix writes it, with the class a page marks it with.
struct RowLine {
  std::string text;
  const char* mark = nullptr;  // "del", "add", "chg" or none
};

// A row whole: its faults, each with its place, then how its end differs.
std::vector<RowLine> WholeRow(const MatrixRow& row, const Effect& clean) {
  std::vector<RowLine> lines;
  for (const Fault& f : row.faults) lines.push_back({"    " + f.Label() + " in " + f.Place()});
  if (row.effect.outcomes != clean.outcomes) lines.push_back({"  events: " + JoinedOutcomes(row.effect.outcomes), "chg"});
  for (const auto& [name, list] : {std::pair<std::string, const std::vector<std::string>*>{"registry", &row.effect.registry},
                                   {"files", &row.effect.files},
                                   {"log", &row.effect.log},
                                   {"host", &row.effect.host}}) {
    for (const std::string& line : *list) {
      lines.push_back({"  " + name + " " + ContinuedLines(line, name.size() + 5), line.starts_with("- ") ? "del" : "add"});
    }
  }
  return lines;
}

// "registry -3 +1, log -1": how many lines of each part the row lost and added.
std::string DifferenceCounts(const Effect& effect) {
  std::string text;
  for (const auto& [name, list] : {std::pair<const char*, const std::vector<std::string>*>{"registry", &effect.registry},
                                   {"files", &effect.files},
                                   {"log", &effect.log},
                                   {"host", &effect.host}}) {
    const auto lost = std::count_if(list->begin(), list->end(), [](const std::string& l) { return l.starts_with("- "); });
    const auto added = static_cast<std::ptrdiff_t>(list->size()) - lost;
    if (list->empty()) continue;
    text += (text.empty() ? "" : ", ") + std::string(name);
    if (lost > 0) text += " -" + std::to_string(lost);
    if (added > 0) text += " +" + std::to_string(added);
  }
  return text;
}

// The events that ended otherwise than in the clean run.
std::string ChangedOutcomes(const Effect& effect, const Effect& clean) {
  std::vector<EventEnd> changed;
  for (std::size_t i = 0; i < effect.outcomes.size(); ++i) {
    if (i >= clean.outcomes.size() || effect.outcomes[i] != clean.outcomes[i]) changed.push_back(effect.outcomes[i]);
  }
  return JoinedOutcomes(changed);
}

// A row in one line: "[7] 2 faults, state silently lost: GetDirectory #8 in
// qviUpgrade and 1 more; registry -3, log -6 +1". The code each fault gives
// is its function's typical one, which the whole row names.
std::string RowSummary(const MatrixRow& row, std::size_t number, const Effect& clean) {
  const Fault& first = row.faults.front();
  std::string text = "[" + std::to_string(number) + "] " + Counted(row.faults.size(), "fault", "faults") + ", " +
                     SeverityName(row.severity) + ": " + CallName(first) + " #" + std::to_string(first.occurrence) +
                     " in " + first.Place();
  if (row.faults.size() > 1) text += " and " + std::to_string(row.faults.size() - 1) + " more";
  const std::string events = row.effect.outcomes != clean.outcomes ? ChangedOutcomes(row.effect, clean) : "";
  const std::string counts = DifferenceCounts(row.effect);
  if (!events.empty()) text += "; events: " + events;
  if (!counts.empty()) text += "; " + counts;
  return text;
}

// What the view shows: a row (by its place in the matrix), or the rows of
// one own loss of one call folded together.
struct Shown {
  std::vector<std::size_t> rows;
  std::string fold;  // "each RegSetValueExA loses the value it writes"; "" for a row
};

std::vector<Shown> ShownRows(const Matrix& m, const MatrixView& view) {
  std::vector<Shown> shown;
  std::map<std::string, std::size_t> folds;
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    const MatrixRow& row = m.rows[i];
    if (row.severity > view.worst_shown) continue;
    if (view.all || row.own_loss == OwnLoss::kNone) {
      shown.push_back({{i}, ""});
      continue;
    }
    const std::string fold = "each " + CallName(row.faults.front()) + " " + OwnLossText(row.own_loss);
    const auto [at, added] = folds.try_emplace(fold + "\n" + SeverityName(row.severity), shown.size());
    if (added) shown.push_back({{}, fold});
    shown[at->second].rows.push_back(i);
  }
  return shown;
}

std::size_t FaultsIn(const Matrix& m, const Shown& shown) {
  std::size_t faults = 0;
  for (const std::size_t i : shown.rows) faults += m.rows[i].faults.size();
  return faults;
}

std::string FoldSummary(const Matrix& m, const Shown& shown) {
  return "[*] " + Counted(FaultsIn(m, shown), "fault", "faults") + ", " +
         SeverityName(m.rows[shown.rows.front()].severity) + ": " + shown.fold;
}

void Header(std::ostream& out, const Matrix& m, const MatrixView& view) {
  out << "Single-fault matrix of " << m.scenario;
  if (m.shard.count > 1) out << " (part " << m.shard.index + 1 << " of " << m.shard.count << ")";
  out << ": " << m.runs - 1 << " faults, " << m.rows.size() << " distinct effects\n";
  out << "Clean run: " << JoinedOutcomes(m.clean.outcomes);
  out << "\nBy severity (rows, faults):";
  for (const Severity severity : kSeverities) {
    const auto [rows, faults] = CountOf(m, severity);
    out << (severity == Severity::kOutcomeChanged ? " " : ", ") << SeverityName(severity) << " " << rows << " ("
        << faults << ")";
  }
  out << "\n";
  if (view.worst_shown != Severity::kNone) out << "Shown: rows of " << SeverityName(view.worst_shown) << " or worse\n";
}

}  // namespace

const char* OwnLossText(OwnLoss loss) {
  switch (loss) {
    case OwnLoss::kNone: return "";
    case OwnLoss::kValue: return "loses the value it writes";
    case OwnLoss::kKeyTree: return "loses the key it makes and all written below it";
    case OwnLoss::kProfileEntry: return "loses the entry it writes";
    case OwnLoss::kHostRequest: return "loses the request it makes";
  }
  return "";
}

std::optional<Severity> SeverityFromName(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kSeverities); ++i) {
    if (name == kSeverityKeywords[i] || name == SeverityName(kSeverities[i])) return kSeverities[i];
  }
  return std::nullopt;
}

std::string SeverityKeywords() {
  std::string text;
  for (const char* keyword : kSeverityKeywords) text += (text.empty() ? "" : ", ") + std::string(keyword);
  return text;
}

std::string FormatMatrix(const Matrix& m, const MatrixView& view) {
  std::ostringstream out;
  Header(out, m, view);
  if (!view.all) out << "\n";
  for (const Shown& shown : ShownRows(m, view)) {
    if (!shown.fold.empty()) {
      out << FoldSummary(m, shown) << "\n";
      continue;
    }
    const MatrixRow& row = m.rows[shown.rows.front()];
    const std::size_t number = shown.rows.front() + 1;
    if (!view.all) {
      out << RowSummary(row, number, m.clean) << "\n";
      continue;
    }
    out << "\n[" << number << "] " << Counted(row.faults.size(), "fault", "faults") << ", "
        << SeverityName(row.severity) << "\n";
    for (const RowLine& line : WholeRow(row, m.clean)) out << line.text << "\n";
  }
  return out.str();
}

namespace {

// A row's line for the page: the lines of a log line of several lines stay
// lines, beneath its first, rather than control characters.
std::string HtmlLines(const std::string& text) {
  std::string html;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    html += HtmlText(text.substr(from, end - from)) + "\n";
  }
  return html + HtmlText(text.substr(from));
}

void HtmlRow(std::ostream& out, const Matrix& m, std::size_t i) {
  const MatrixRow& row = m.rows[i];
  out << "<details><summary>" << HtmlText(RowSummary(row, i + 1, m.clean)) << "</summary>\n<pre>";
  for (const RowLine& line : WholeRow(row, m.clean)) {
    const std::string text = HtmlLines(line.text);
    out << (line.mark ? "<span class=\"" + std::string(line.mark) + "\">" + text + "</span>" : text) << "\n";
  }
  out << "</pre></details>\n";
}

void HtmlSeverities(std::ostream& out, const Matrix& m) {
  out << "<h2 id=\"severity\">By severity</h2>\n<table>\n<tr><th>Severity</th><th>Rows</th><th>Faults</th></tr>\n";
  for (const Severity severity : kSeverities) {
    const auto [rows, faults] = CountOf(m, severity);
    out << "<tr><th>" << SeverityName(severity) << "</th><td>" << rows << "</td><td>" << faults << "</td></tr>\n";
  }
  out << "</table>\n";
}

}  // namespace

std::string HtmlMatrix(const Matrix& m, const MatrixView& view) {
  std::ostringstream out;
  out << HtmlPageHead("matrix of " + m.scenario);
  out << "<p>" << m.runs - 1 << " faults, " << m.rows.size() << " distinct effects";
  if (m.shard.count > 1) out << " (part " << m.shard.index + 1 << " of " << m.shard.count << ")";
  out << ". Clean run: " << HtmlText(JoinedOutcomes(m.clean.outcomes)) << "</p>\n";
  HtmlSeverities(out, m);
  out << "<h2 id=\"rows\">Rows";
  if (view.worst_shown != Severity::kNone) out << " of " << SeverityName(view.worst_shown) << " or worse";
  out << "</h2>\n";
  for (const Shown& shown : ShownRows(m, view)) {
    if (shown.fold.empty()) {
      HtmlRow(out, m, shown.rows.front());
      continue;
    }
    out << "<details class=\"fold\"><summary>" << HtmlText(FoldSummary(m, shown)) << "</summary>\n";
    for (const std::size_t i : shown.rows) HtmlRow(out, m, i);
    out << "</details>\n";
  }
  out << "</body></html>\n";
  return out.str();
}

nlohmann::ordered_json MatrixJson(const Matrix& m, const MatrixView& view) {
  using json = nlohmann::ordered_json;
  const auto outcomes = [](const std::vector<EventEnd>& ends) {
    json list = json::array();
    for (const EventEnd& e : ends) {
      json entry = {{"event", e.event}, {"outcome", e.failed ? "failed" : "completed"}};
      if (e.failed) entry["reason"] = e.reason;
      list.push_back(std::move(entry));
    }
    return list;
  };
  // "- " and "+ " lines as what the clean run had and this one lacks, and
  // what only this one has.
  const auto difference = [](const std::vector<std::string>& lines) {
    json lost = json::array();
    json added = json::array();
    for (const std::string& line : lines) (line.starts_with("- ") ? lost : added).push_back(line.substr(2));
    return json{{"lost", std::move(lost)}, {"added", std::move(added)}};
  };
  json doc = {{"scenario", m.scenario}, {"faults", m.runs - 1}, {"clean_outcomes", outcomes(m.clean.outcomes)}};
  // Only for a part, so that a whole matrix's document is as it always was.
  if (m.shard.count > 1) doc["part"] = {{"index", m.shard.index + 1}, {"count", m.shard.count}};
  doc["rows"] = json::array();
  for (const MatrixRow& row : m.rows) {
    if (row.severity > view.worst_shown) continue;
    // Each fault as a scenario's "host.failures" or "platform_failures"
    // entry, to paste there and run the fault alone.
    json faults = json::array();
    for (const Fault& f : row.faults) {
      json fault = {{"event", f.event}};
      // A life cycle's fault goes into that step's entry of "steps".
      if (f.step > 0) fault["step"] = f.step;
      if (f.host) {
        fault["operation"] = rhost::OperationName(f.control, f.dispid);
        fault["failure"] = {{"control", rhost::ControlName(f.control)},
                            {"dispid", f.dispid},
                            {"occurrence", f.occurrence},
                            {"number", f.code},
                            {"description", kAutomationErrorText}};
      } else {
        fault["platform_failure"] = {
            {"function", faults::FunctionName(f.function)}, {"occurrence", f.occurrence}, {"code", f.code}};
      }
      faults.push_back(std::move(fault));
    }
    json entry = {{"severity", SeverityName(row.severity)}, {"faults", std::move(faults)},
                  {"outcomes", outcomes(row.effect.outcomes)}};
    if (row.own_loss != OwnLoss::kNone) entry["fold"] = OwnLossText(row.own_loss);
    entry["differences"] = {{"registry", difference(row.effect.registry)},
                            {"files", difference(row.effect.files)},
                            {"log", difference(row.effect.log)},
                            {"host", difference(row.effect.host)}};
    doc["rows"].push_back(std::move(entry));
  }
  return doc;
}

}  // namespace qvi::scenario
