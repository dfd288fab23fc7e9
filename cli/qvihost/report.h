// The two forms of a run's report: readable text and one JSON document.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "host/variant.h"
#include "run.h"

namespace qvi::cli {

// The readable report: events, host calls grouped by event, registry changes
// as .reg text, files changed, log lines, message boxes and the host's state.
std::string FormatReport(const RunResult& result);

// The JSON document: scenario, machine, events, host_calls, registry_changes,
// files, log, message_boxes, host_state. Text is UTF-8: bytes that are not
// already UTF-8 are taken as Latin-1, so file contents survive exactly.
nlohmann::ordered_json ReportJson(const RunResult& result);

// "REG_SZ", "REG_DWORD", ... ("0x..." for a type without a name).
std::string RegistryTypeName(std::uint32_t type);
// A value's data as the report shows it: REG_SZ text without its trailing NUL,
// otherwise bytes as comma-separated hex pairs.
std::string RegistryDataText(const emu::RegistryValue& value);
// One value as a line of a .reg file: "name"="text", @=dword:..., "name"=-.
std::string RegLine(const emu::RegistryValue& value, bool removed);
// A file's bytes as printable text for the readable report: line breaks
// kept (CR LF shown as one), other control and non-ASCII bytes as \xHH.
std::string PrintableText(const std::string& bytes);

// Short names of the host's operations ("SetDestinationDir"), "" when unknown.
std::string OperationName(const std::string& control, std::int32_t dispid);

}  // namespace qvi::cli
