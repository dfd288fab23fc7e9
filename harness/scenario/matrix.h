// The single-fault matrix: a scenario run once clean, then once for every
// host call and every operating-system call the clean run made, each failing
// alone, with how each run's end differs from the clean one. Faults with the
// same effect are grouped in one row.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::scenario {

// One call made to fail.
struct Fault {
  bool host = true;  // a host call, else an operating-system call
  host::Control control = host::Control::kQviPublic;
  host::DispId dispid = 0;
  faults::Function function = faults::Function::kRegCreateKeyA;
  int occurrence = 1;      // the n-th such call of the run
  std::int32_t code = 0;   // the Win32 code or the automation error number
  std::string event;       // the event the call was made in
  // "QviPublic 22 GetPlatform #1 (440)", "RegCreateKeyA #3 (5)".
  std::string Label() const;
};

// How a run's end differs from the clean run's, line by line ("- " what the
// clean run had and this one lacks, "+ " what only this one has).
struct Effect {
  std::vector<std::string> outcomes;  // every event's outcome
  std::vector<std::string> registry;
  std::vector<std::string> files;
  std::vector<std::string> log;
  std::vector<std::string> host;  // the host's state: directories, sections, icons, ...
  bool operator==(const Effect&) const = default;
  bool None(const Effect& clean) const;
};

struct MatrixRow {
  std::vector<Fault> faults;
  Effect effect;
};

struct Matrix {
  std::string scenario;
  Effect clean;  // the clean run's outcomes; no differences
  std::size_t runs = 0;
  std::vector<MatrixRow> rows;  // in the order of their first fault
};

// The Win32 code a failing call of `function` typically gives.
std::int32_t TypicalCode(faults::Function function);

// Runs the matrix, `jobs` runs at a time, each on a temporary machine of its
// own (a scenario's machine folder is not used).
Matrix RunMatrix(const Scenario& scenario, int jobs);

std::string FormatMatrix(const Matrix& matrix);
nlohmann::ordered_json MatrixJson(const Matrix& matrix);

}  // namespace qvi::scenario
