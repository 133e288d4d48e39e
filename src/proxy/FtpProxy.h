#pragma once

#include "net/SocketLayer.h"
#include "proxy/Sessions.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <netinet/in.h>

// The FTP proxy: the client program logs in with "USER name@host" and its password; the proxy
// logs in at that host on its behalf and then passes the control conversation through, turning
// every PORT command into one that names a data port of its own. Each such data port is served
// by a TDataConnectionThread, which relays the server's data connections to the client's port.
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

// The data address a PORT argument names: all six numbers present, none above 255, and a port
// of 1024 or above (a PORT naming a well-known service port is how a proxy gets abused to
// reach mail or other servers). nullopt otherwise.
std::optional<sockaddr_in> FtpPortAddress(std::string_view argument);

// "PORT h1,h2,h3,h4,p1,p2" naming address (network byte order in the record).
std::string FtpPortCommand(const sockaddr_in& address);

// The code of a final reply line: three digits at its start and a fourth character that is not
// "-" (a line of three digits counts too). -1 for continuation lines and anything else.
int FtpReplyCode(std::string_view line);

// Relays the data connections of one PORT: listens on the control connection's local address,
// and connects every data connection the server opens there to the client's data address, one
// after the other, until stopped. The thread owns its sockets and ends by itself after Stop (a
// data transfer in progress is finished first); the handler keeps only a shared reference.
class TDataConnectionThread {
public:
    // Binds a socket to listenAddress (its port 0: the system chooses), listens and starts the
    // thread. Raises ECommunication when the socket cannot be made, bound or put to listen.
    static std::shared_ptr<TDataConnectionThread> Start(const sockaddr_in& clientDataAddress,
                                                        const sockaddr_in& listenAddress,
                                                        TActivity activity);

    ~TDataConnectionThread();
    TDataConnectionThread(const TDataConnectionThread&) = delete;
    TDataConnectionThread& operator=(const TDataConnectionThread&) = delete;

    // The listening address with the port the system chose.
    const sockaddr_in& ListenAddress() const { return fListenAddress; }
    const sockaddr_in& ClientDataAddress() const { return fClientDataAddress; }
    // Ends the thread: no further data connection is accepted.
    void Stop() { fStopFlag = true; }

    // How many data threads are running in this process.
    static int Running();

private:
    TDataConnectionThread(const sockaddr_in& clientDataAddress, TActivity activity);
    void Run();
    // Copies both ways between the two data sockets until one closes, a transfer fails or
    // nothing has passed for the silence limit.
    void Copy(TSocket fromServer, TSocket toClient);

    const sockaddr_in fClientDataAddress;
    sockaddr_in fListenAddress{};
    TSocket fListenSocket = kInvalidSocket;
    const TActivity fActivity;
    std::atomic<bool> fStopFlag{false};
};

// The handler of the tunnel type "FTP PROXY". Writes no trace lines. The login must be done
// within RequestTimeLimit().
void HandleFtpProxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                    const TActivity& activity, const TStopSignal& stop);

} // namespace harbolt
