#pragma once
// The sandbox's stand-in for the iSCSI initiator tool (bridge/sim/tools/iscsiadm), written to
// <sandbox>/bin/iscsiadm (SandboxTools.h).

namespace sim {

// Exit statuses, as the real tool's error classes.
constexpr int kIscsiadmInvalid = 7;
constexpr int kIscsiadmTransportTimeout = 8;
constexpr int kIscsiadmSessionExists = 15;
constexpr int kIscsiadmNoObjects = 21;
constexpr int kIscsiadmLoginFailed = 24;

}  // namespace sim
