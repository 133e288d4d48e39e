#pragma once

#include "net/SocketLayer.h"
#include "proxy/Sessions.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <netinet/in.h>

// The FTP proxy: the client program logs in with "USER name@host" and its password; the proxy
// logs in at that host on its behalf and then passes the control conversation through, turning
// every PORT and EPRT command into a PORT that names a data port of its own. Each such data port
// is served by a TDataConnectionThread, which relays the server's data connections to the
// client's port. PASV and EPSV are served by the proxy too: it opens a port of its own on the
// side the client program reaches, asks the server for a passive port, and a
// TPassiveDataConnection joins the two.
//
// Data connections are bound to the two parties of the control connection: the proxy connects
// only to the address the control connection comes from (a PORT naming anything else would let
// the client aim the proxy at the proxy's own loopback or at its LAN), and each data port takes
// a connection only from the party that is to make it (the server in active mode, the client in
// passive mode); whoever else finds the port first is closed.
namespace harbolt {

// Every line of the control conversation is read with this capacity.
constexpr int kFtpLineCapacity = 2048;

// Whether line begins with command, ignoring ASCII case.
bool FtpCommandIs(std::string_view line, std::string_view command);

// Shared with the POP3 proxy, which logs in the same way.
// "host", with ":" and defaultPort appended when the text names no port (has no ":").
std::string EndpointWithDefaultPort(std::string_view host, std::string_view defaultPort);

// The numbers of a PORT argument as written: decimal numbers, blanks and commas before and
// between them skipped, each ending at the first character that is no digit. Count is how many
// stood there before the text ended or something else took the place of a number (at most six);
// a value too large for the field is held at kFtpNumberLimit.
constexpr std::uint32_t kFtpNumberLimit = 0x10000;
struct TFtpPortNumbers {
    std::array<std::uint32_t, 6> Values{};
    int Count = 0;
};
TFtpPortNumbers ScanFtpPortNumbers(std::string_view argument);

// The data address a PORT argument names: all six numbers present, none above 255. nullopt
// otherwise. Whether the proxy may go there is FtpActiveTargetAllowed's question.
std::optional<sockaddr_in> FtpPortAddress(std::string_view argument);

// "PORT h1,h2,h3,h4,p1,p2" naming address (network byte order in the record).
std::string FtpPortCommand(const sockaddr_in& address);

// What an EPRT argument ("|1|h.h.h.h|port|", any printable delimiter that is no digit, no "."
// and no blank) asks for. Only IPv4 is served; the port is a number up to 65535.
enum class TFtpEprtVerdict {
    Address,     // Address holds the data address
    Unsupported, // a network protocol other than 1 (IPv4): "522"
    Malformed,   // anything else: "501"
};
struct TFtpEprt {
    TFtpEprtVerdict Verdict = TFtpEprtVerdict::Malformed;
    sockaddr_in Address{};
};
TFtpEprt ParseFtpEprt(std::string_view argument);

// What a client's control line asks for when it is a PORT or an EPRT command (both name a data
// address and are served alike); NotActive for every other line.
enum class TFtpActiveVerdict {
    NotActive,
    Address,     // Address holds the data address
    Unsupported, // EPRT with a network protocol other than 1: "522"
    Malformed,   // "501"
};
struct TFtpActiveCommand {
    TFtpActiveVerdict Verdict = TFtpActiveVerdict::NotActive;
    sockaddr_in Address{};
};
TFtpActiveCommand ParseFtpActiveCommand(std::string_view line);

// Whether the proxy may make an active data connection to target for a client program whose
// control connection comes from client: only to that same address, and only to a port of 1024
// or above (below lie the services a bounce would reach: mail, a remote login).
bool FtpActiveTargetAllowed(const sockaddr_in& target, const sockaddr_in& client);

// The reply to a PORT or EPRT that FtpActiveTargetAllowed refuses.
extern const char* const kFtpActiveRefused;

// PORT and EPRT commands refused by that rule, and connections to a data port from anyone but
// the party it waits for, closed: counted since the start.
std::uint64_t FtpDataRefused();

// The data port a server's "227" reply names; nullopt for any other reply, or when the six
// numbers are not there, not bytes, or name port 0. The address the reply names is not used:
// the proxy connects only to the server it holds the control connection with, so a server cannot
// steer it elsewhere.
std::optional<std::uint16_t> FtpPassivePort(std::string_view reply);

// The data port a "229" reply names ("229 Entering Extended Passive Mode (|||port|)", any
// delimiter); nullopt for any other reply, or a port that is no number from 1 to 65535.
std::optional<std::uint16_t> FtpExtendedPassivePort(std::string_view reply);

// The answers to the client program's PASV and EPSV, naming the proxy's own passive port.
std::string FtpPassiveReply(const sockaddr_in& address);
std::string FtpExtendedPassiveReply(std::uint16_t port);

// The code of a final reply line: three digits at its start and a fourth character that is not
// "-" (a line of three digits counts too). -1 for continuation lines and anything else.
int FtpReplyCode(std::string_view line);

// Relays the data connections of one PORT: listens on the control connection's local address,
// and connects every data connection the server opens there to the client's data address, one
// after the other, until stopped. Only connections from the server's address are taken; any
// other is closed at once and the wait goes on. The thread owns its sockets and ends by itself
// after Stop (a data transfer in progress is finished first); the handler keeps only a shared
// reference. An FTP mapping uses it the same way towards the online computer.
class TDataConnectionThread {
public:
    // Binds a socket to listenAddress (its port 0: the system chooses), listens and starts the
    // thread. Raises ECommunication when the socket cannot be made, bound or put to listen.
    static std::shared_ptr<TDataConnectionThread> Start(const sockaddr_in& clientDataAddress,
                                                        const sockaddr_in& listenAddress,
                                                        const sockaddr_in& serverAddress,
                                                        TActivity activity);

    ~TDataConnectionThread();
    TDataConnectionThread(const TDataConnectionThread&) = delete;
    TDataConnectionThread& operator=(const TDataConnectionThread&) = delete;

    // The listening address with the port the system chose.
    const sockaddr_in& ListenAddress() const { return fListenAddress; }
    const sockaddr_in& ClientDataAddress() const { return fClientDataAddress; }
    // Ends the thread: no further data connection is accepted.
    void Stop() { fStopFlag = true; }

    // How many data threads, passive ones included, are running in this process.
    static int Running();

private:
    TDataConnectionThread(const sockaddr_in& clientDataAddress, const sockaddr_in& serverAddress,
                          TActivity activity);
    void Run();

    const sockaddr_in fClientDataAddress;
    const sockaddr_in fServerAddress; // the only address a data connection is taken from
    sockaddr_in fListenAddress{};
    TSocket fListenSocket = kInvalidSocket;
    const TActivity fActivity;
    std::atomic<bool> fStopFlag{false};
};

// Serves one passive data connection: listens on the address the client program reaches the
// proxy at, takes the first connection from the client's address (any other is closed at once,
// counted and reported) and copies between it and the data connection already made to the
// server. Ends after that transfer, or when stopped before a client came; like
// TDataConnectionThread it owns its sockets and ends by itself.
class TPassiveDataConnection {
public:
    // Binds a socket to listenAddress (its port 0), listens and starts the thread. Raises
    // ECommunication when the socket cannot be made, bound or put to listen.
    static std::shared_ptr<TPassiveDataConnection> Start(const sockaddr_in& listenAddress,
                                                         const sockaddr_in& clientAddress,
                                                         std::unique_ptr<TCommunication> serverData,
                                                         TActivity activity);

    ~TPassiveDataConnection();
    TPassiveDataConnection(const TPassiveDataConnection&) = delete;
    TPassiveDataConnection& operator=(const TPassiveDataConnection&) = delete;

    const sockaddr_in& ListenAddress() const { return fListenAddress; }
    // No client connection is taken any more; a transfer in progress is finished.
    void Stop() { fStopFlag = true; }

private:
    TPassiveDataConnection(const sockaddr_in& clientAddress,
                           std::unique_ptr<TCommunication> serverData, TActivity activity);
    void Run();

    const sockaddr_in fClientAddress; // the only address the connection is taken from
    sockaddr_in fListenAddress{};
    TSocket fListenSocket = kInvalidSocket;
    std::unique_ptr<TCommunication> fServerData; // closed by the thread when it ends
    const TActivity fActivity;
    std::atomic<bool> fStopFlag{false};
};

// Cuts a stream of control lines for the mapping's relay: every whole line, line end included,
// goes through rewrite, and what it gives is passed on. A line growing past kLineLimit is no
// command the relay acts on: it passes as it comes, unread, up to its end.
class TFtpLineCutter {
public:
    static constexpr std::size_t kLineLimit = 4096;
    using TRewrite = std::function<std::string(const std::string& line)>;

    // What to pass on for bytes, the next part of the stream.
    std::string Take(std::string_view bytes, const TRewrite& rewrite);
    // The start of a line the stream ended in; nothing is held afterwards.
    std::string Rest();

private:
    std::string fHeld;
    bool fPassing = false; // inside an overlong line
};

// The relay of an "FTP PROXY" mapping on the computer the client program connected to. The
// online computer's handler serves passive mode on a port of its own, which the client would
// have to reach there; many clients (curl among them) connect their data connection to the host
// of the control connection instead, whatever the reply names. So each passive reply (227, 229)
// is rewritten to name a port of this computer, which takes the client's data connection (from
// the client's address only) and carries it to the online computer's port. Active mode is
// mirrored: a PORT or EPRT must name the client program's own address (else it is refused here
// with kFtpActiveRefused), and the online computer is sent a PORT naming a data port of this
// computer, which takes the online computer's data connection (from its address only) and
// carries it to the client's port. Everything else passes unchanged, both ways, until a side
// closes, stop is raised or 900 s pass without a byte. Raises ECommunication when a send fails.
void RelayFtpMapping(TBufferedCommunication& client, TBufferedCommunication& server,
                     const TStopSignal& stop, const TActivity& activity);

// The handler of the tunnel type "FTP PROXY". Writes no trace lines. The login must be done
// within RequestTimeLimit().
void HandleFtpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                    const TActivity& activity, const TStopSignal& stop);

} // namespace harbolt
