#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"
#include "link/Telnet.h"

// A serial port on a serial server across the network: "rfc2217://HOST:PORT" (telnet with the
// COM-PORT-OPTION: line settings and modem lines travel to the server's port) or
// "tcp://HOST:PORT" (a raw socket; the server's port keeps whatever settings it has and has no
// modem lines). Opening connects, closing disconnects. Data bytes go through unchanged: 0xFF
// is doubled on the way out and undoubled on the way in, and telnet commands never reach the
// logic.
class NetworkComm : public CMSComm {
public:
    // True when `port` is a network address this back end takes.
    static bool IsNetworkAddress(const std::string& port);

    explicit NetworkComm(std::string address);
    ~NetworkComm() override;
    NetworkComm(const NetworkComm&) = delete;
    NetworkComm& operator=(const NetworkComm&) = delete;

    std::string PortName(short) const override { return m_address; }
    bool HasModemLines() const override;

    // How long a connection may take to be made, and how long a server may take to answer a
    // modem-line request before the lines count as missing (a server on a pseudo-terminal never
    // answers one).
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kControlAnswerMs = 1000;

protected:
    void OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) override;
    void ClosePort() override;
    void ApplySettings(const LineSettings& settings) override;
    void ApplyLines(bool dtr, bool rts) override;
    void Write(const CByteArray& frame) override;
    size_t BytesWaiting() override;
    CByteArray ReadAll() override;
    bool WaitInput(int64_t timeoutNs) override;

private:
    void Connect();
    void Send(const CByteArray& bytes);
    // Reads what the connection holds: data to m_pending, commands answered or noted.
    void Drain();
    // Waits up to `ms` for the server's answer to COM-PORT command `command`.
    bool AwaitAnswer(uint8_t command, int ms);
    void CloseQuietly() noexcept;

    std::string m_address;
    bool m_rfc2217 = false;
    std::string m_host;
    std::string m_service;
    intptr_t m_socket = -1;
    telnet::Decoder m_decoder;
    std::unique_ptr<telnet::OptionPolicy> m_policy;
    CByteArray m_pending;
    std::vector<uint8_t> m_answers;    // COM-PORT answers received, by command code
    bool m_linesKnownMissing = false;  // the server did not answer a line request
};
