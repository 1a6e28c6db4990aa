#pragma once
// The sandbox's stand-in for the iSCSI initiator tool (bridge/sim/tools/iscsiadm), written to
// <sandbox>/bin/iscsiadm.
#include <string>

namespace sim {

// Exit statuses, as the real tool's error classes.
constexpr int kIscsiadmInvalid = 7;
constexpr int kIscsiadmTransportTimeout = 8;
constexpr int kIscsiadmSessionExists = 15;
constexpr int kIscsiadmNoObjects = 21;
constexpr int kIscsiadmLoginFailed = 24;

// Writes the script, executable, to `path`.
void WriteFakeIscsiadm(const std::string& path);

// The cloud-sim program: this process when it is cloud-sim, else the one beside the bridge library;
// empty when there is none.
std::string FindCloudSim();
// Links `path` (the sandbox's bin/cloud-sim, through which its tools count their calls and meet
// their fault rules) to FindCloudSim(); without a cloud-sim the tools run without either.
void LinkCloudSim(const std::string& path);

}  // namespace sim
