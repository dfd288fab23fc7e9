// The snap-in loaded event by event by the replacement host on an emulated
// machine, the host answering as a scenario's host does, with the means to
// fail calls and to look at the module-wide state between events.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "faults/fault_injection.h"
#include "replacement_host/replacement_host.h"
#include "replacement_host/session.h"
#include "scenario/report.h"
#include "scenario/scenario.h"
#include "testing/temp_folder.h"

namespace qvi::events_test {

inline const std::string kBcDefaults = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults";

class EventTest : public ::testing::Test {
 protected:
  // A fresh machine, and a fresh load of the snap-in on it under a host that
  // answers as the scenario (JSON, "base" allowed) says; the control is
  // created, the scenario's events are not raised.
  void Start(const std::string& scenario) {
    session_.reset();
    faults_.reset();
    machine_ = emu::Machine::Open(dir_.path() / std::to_string(++machines_));
    faults_ = std::make_unique<faults::FaultInjectingPlatform>(*machine_);
    host_ = std::make_unique<rhost::ReplacementHost>(scenario::ParseScenario(scenario, "test scenario").host);
    session_ = std::make_unique<rhost::Session>(*host_, Os());
    Raise("creation");
  }
  // What the snap-in calls the operating system through.
  virtual platform::Platform& Os() { return *faults_; }

  rhost::EventOutcome Raise(const std::string& event, const std::string& argument = "") {
    const auto known = EventByName(event);
    if (!known) throw std::invalid_argument("unknown event " + event);
    return session_->Raise(*known, argument);
  }

  // The QviPublic calls of `event` as the readable report shows them.
  std::vector<std::string> Calls(const std::string& event) const {
    std::vector<std::string> calls;
    for (const rhost::HostCall& call : host_->calls()) {
      if (call.event == event && call.control == host::Control::kQviPublic) calls.push_back(scenario::DescribeCall(call));
    }
    return calls;
  }
  std::size_t FailedCalls() const {
    return static_cast<std::size_t>(std::count_if(host_->calls().begin(), host_->calls().end(),
                                                   [](const rhost::HostCall& call) { return call.failed; }));
  }
  // Fails the `nth` QviPublic call of DISPID `id` from now on.
  void FailNext(host::DispId id, int nth) {
    const auto made = std::count_if(host_->calls().begin(), host_->calls().end(), [id](const rhost::HostCall& c) {
      return c.control == host::Control::kQviPublic && c.dispid == id;
    });
    host_->mutable_config().failures.push_back({host::Control::kQviPublic, id, static_cast<int>(made) + nth});
  }
  // The values of every key whose path starts with `prefix`.
  std::size_t ValuesBelow(const std::string& prefix) const {
    std::size_t values = 0;
    for (const emu::RegistryKey& key : machine_->SnapshotRegistry()) {
      if (key.path.rfind(prefix, 0) == 0) values += key.values.size();
    }
    return values;
  }
  ModuleState& State() { return session_->library().state(); }

  testing::TempFolder dir_;
  int machines_ = 0;
  std::unique_ptr<emu::Machine> machine_;
  std::unique_ptr<faults::FaultInjectingPlatform> faults_;
  std::unique_ptr<rhost::ReplacementHost> host_;
  std::unique_ptr<rhost::Session> session_;
};

}  // namespace qvi::events_test
