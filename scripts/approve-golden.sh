#!/usr/bin/env bash
# Writes the current outputs over the approved ones: the reports of the golden
# scenarios and the commands' outputs in tests/cli/golden/, and the scenario
# library's texts in tests/scenario/golden/. Read every changed line against
# what the snap-in must do (git diff tests/cli/golden tests/scenario/golden)
# before committing it: an approved output is reviewed like code.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset ci >/dev/null
cmake --build --preset ci --target cli_test scenario_test qvihost
# Every test of the two suites runs: an approved file is written by the test
# that reads it. A test that fails for another reason is named here.
for suite in build/ci/tests/cli/cli_test build/ci/tests/scenario/scenario_test; do
  QVI_APPROVE_GOLDEN=1 "$suite" --gtest_brief=1 | grep -E '^\[  FAILED  \]' || true
done
git status --short tests/cli/golden tests/scenario/golden
