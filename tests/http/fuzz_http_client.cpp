// Fuzz target: the client's own reply processing (header lines, status,
// relocation, lengths, chunked and plain bodies) fed in pieces whose sizes
// come from the input, as the socket would deliver them.
#include "http/HttpProt.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace http {

class THttpCliTestAccess {
public:
    static void Run(const std::uint8_t* data, std::size_t size)
    {
        if (size < 2)
            return;
        THttpCli cli;
        TMemoryStream out;
        cli.SetBodyOutStream(&out);
        cli.SetURL("http://127.0.0.1:1/dir/doc");
        cli.m_requestType = (data[0] & 1) ? httpGET : httpHEAD;
        cli.m_requestVer = (data[0] & 2) ? "1.1" : "1.0";
        cli.ResetReplyState();
        cli.m_currentLocation = cli.m_url;
        cli.PrepareTarget(cli.m_url);
        cli.m_state = httpWaitingHeader;
        const std::size_t piece = 1 + data[1] % 64;
        data += 2;
        size -= 2;
        while (size > 0) {
            std::size_t n = size < piece ? size : piece;
            cli.DeliverReceived(reinterpret_cast<const char*>(data), n);
            data += n;
            size -= n;
        }
        // Whatever came, nothing beyond an announced length is kept.
        if (cli.m_bodyLength >= 0 && !cli.m_chunked && out.Size() > cli.m_bodyLength)
            std::abort();
        if (cli.m_rcvCount > THttpCli::kRcvBufSize - 3)
            std::abort();
    }
};

} // namespace http

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    http::THttpCliTestAccess::Run(data, size);
    return 0;
}
