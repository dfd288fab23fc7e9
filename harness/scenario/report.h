// The two forms of a run's report: readable text and one JSON document.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "host/variant.h"
#include "scenario/run.h"

namespace qvi::scenario {

// The readable report, UTF-8: events (a completed one in which the host
// refused calls says how many), host calls grouped by event, when traced
// every call of the snap-in grouped by event, registry changes as .reg text,
// files changed, log lines, message boxes and the host's state.
std::string FormatReport(const RunResult& result);

// Registry and file differences in the readable report's notation, under
// the titles "Registry (N)" and "Files (N)".
std::string FormatDifferences(const std::vector<RegistryChange>& registry, const std::vector<FileChange>& files);

// A life cycle: each step's readable report, then what the steps left behind
// against the machine before the first step.
std::string FormatLifeCycle(const LifeCycleResult& result);
// The same as one HTML page, and as one JSON document ("life_cycle", "steps"
// with each step's report, "stopped", "left_behind").
std::string HtmlLifeCycle(const LifeCycleResult& result, const std::string& name);
nlohmann::ordered_json LifeCycleJson(const LifeCycleResult& result, const std::string& name);

// UTF-8 text with &, <, > and " written as XML and HTML want them.
std::string MarkupText(const std::string& utf8);

// The readable report as one self-contained HTML page: a summary (events,
// failed host calls, counts of changes) and a table of contents, then every
// part of the readable report in its notation, removals, additions and
// failed calls marked, long lines wrapped.
std::string HtmlReport(const RunResult& result);

// The JSON document: scenario, machine, events, host_calls, trace (when
// traced), registry_changes, files, log, message_boxes, host_state. The
// machine's text is decoded with its code page, so every byte survives as
// one character.
nlohmann::ordered_json ReportJson(const RunResult& result);

// "REG_SZ", "REG_DWORD", ... ("0x..." for a type without a name).
std::string RegistryTypeName(std::uint32_t type);
// A value's data as the report shows it: REG_SZ text without its trailing NUL,
// otherwise bytes as comma-separated hex pairs.
std::string RegistryDataText(const emu::RegistryValue& value);
// One host call as the readable report shows it:
// `QviPublic 8 GetDirectory("System", 0) -> "C:\WINNT\system32"`.
std::string DescribeCall(const rhost::HostCall& call);
// A file's bytes as printable text for the readable report: line breaks
// kept (CR LF shown as one), other control and non-ASCII bytes as \xHH.
std::string PrintableText(const std::string& bytes);
// A host call's argument or result as the readable report shows it: a number
// as it is, text in double quotes as a Windows engineer writes it (no escaped
// backslashes; a quote doubled, control characters as <LF>, <0x01>), "Empty".
std::string ShownValue(const host::Variant& value);
// The same, appended to `out`.
void AppendShownValue(std::string& out, const host::Variant& value);
// The changes from `before` to `after` as unified-diff hunks ("@@ -1,3 +1,3 @@",
// then lines marked " ", "-" or "+"), lines compared without their ends.
std::string UnifiedDiff(const std::string& before, const std::string& after);

}  // namespace qvi::scenario
