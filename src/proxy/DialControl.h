#pragma once

#include "dialup/Dialer.h"
#include "net/Communication.h"

#include <functional>
#include <string>

// The dial requests computers send each other on the proxy server port, and the take-over
// command that sends one of them.
namespace harbolt {

// Whether a computer announced being online within the last 5 s; its proxy address then.
bool FreshOnlineAddress(std::string& address);

// "DISCONNECT!": hang up whatever connection is up here (also one made outside Harbolt).
void AnswerDisconnect(TBufferedCommunication& channel, TDialer& dialer);
// "WOULD CONNECT?": "YES" or "NO" (also while the own dial budget is spent), without a line end.
void AnswerWouldConnect(TBufferedCommunication& channel);
// "CONNECT!": dial here unless somebody is online, dialling needs a question or the dial budget
// is spent; reports the progress with dots until somebody is online or 60 s have passed. wanted:
// what the asker wants (the request's second line), for the dial's cause.
void AnswerConnect(TBufferedCommunication& channel, TDialer& dialer,
                   const std::string& wanted = {});
// "ONLINE?": the own name and the active connection.
void AnswerOnline(TBufferedCommunication& channel, const std::string& activeConnection);

// Take over the Internet connection: ask the online computer to hang up, and dial here three
// timer ticks after it did; with nobody online, just request a dial. Returns what happened (for
// the user); channel failures raise ECommunication. Main thread.
std::string HostileTakeOver(TDialer& dialer);

} // namespace harbolt
