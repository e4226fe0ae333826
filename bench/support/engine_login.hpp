// Logs a bare TFtpClient in to the benches' vsftpd account on loopback,
// passive and binary, with the time limit the benches use.
#pragma once

#include "ftp/FtpCli.hpp"
#include "ftp_peers.hpp"

#include <string>

namespace bench {

inline bool LogInToVsftpd(ftp::TFtpClient& c, int port)
{
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.SetUserName(testsupport::Vsftpd::kUser);
    c.SetPassWord(testsupport::Vsftpd::kPassword);
    c.SetTimeout(60);
    c.SetPassive(true);
    c.SetBinary(true);
    return c.Connect() && c.SendType();
}

} // namespace bench
