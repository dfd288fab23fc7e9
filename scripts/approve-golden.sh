#!/usr/bin/env bash
# Writes the current reports of the golden scenarios over the approved ones in
# tests/cli/golden/. Read every changed line against what the snap-in must do
# (git diff tests/cli/golden) before committing it: an approved report is
# reviewed like code.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset ci >/dev/null
cmake --build --preset ci --target cli_test qvihost
QVI_APPROVE_GOLDEN=1 build/ci/tests/cli/cli_test --gtest_filter='Scenarios/GoldenTest.*:CliTest.ReadableReportsAreTheApprovedOnes' >/dev/null
git status --short tests/cli/golden
