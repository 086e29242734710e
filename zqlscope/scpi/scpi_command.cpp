// zqlscope scpi: the instrument served over SCPI-RAW until Ctrl-C.
#include <iostream>
#include <stdexcept>

#include "commands.h"
#include "scpi/machine.h"
#include "scpi/server.h"
#include "session.h"
#include "zqlusb.h"

namespace zqlscope {

namespace {

// The usual port of SCPI over raw TCP.
constexpr long kScpiPort = 5025;

} // namespace

CommandSpec ScpiSyntax() {
    return {"scpi",
            "serve the instrument over SCPI (raw TCP, as bench instruments are), until Ctrl-C",
            "",
            0,
            {{"--port", ValueKind::Number, "N", std::to_string(kScpiPort),
              "TCP port, 0 to 65535; 0 takes any free port", 0, 65535},
             {"--listen", ValueKind::Text, "ADDR", "127.0.0.1",
              "address to serve on, IPv4 or IPv6; another than loopback needs --allow"},
             {"--allow", ValueKind::Text, "NAME[,NAME]", "none",
              "other machines (names or addresses) that may connect; this machine's own programs always may"}},
            "Prints the VISA resource (TCPIP::127.0.0.1::5025::SOCKET) as the first line of standard output. One "
            "command line per line feed, replies ended by a line feed; one client at a time, another is refused with "
            "a line that says so. The instrument is opened at the start and stays open. Levels and times are in the "
            "units the client gives (:CHANnel<n>:SCALe, :TIMebase:SRATe), else in counts and points: the instrument's "
            "own scale is unknown to the library. Ctrl-C sends any register writes still pending, closes and exits "
            "with 0."};
}

int Scpi(const CommandSpec &syntax, const Arguments &args) {
    scpi::ServerSettings where;
    where.port = static_cast<unsigned short>(OptionNumber(syntax, args, "--port"));
    where.address = args.Text("--listen", "127.0.0.1");
    if (args.Has("--allow")) {
        where.allow = CommaList(args.Text("--allow"));
    }
    scpi::Machine machine;
    scpi::Server server({[&](std::string_view line) { return machine.Execute(line); },
                         [&](std::size_t limit) { machine.Overlong(limit); }});
    try {
        server.Start(where);
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    } catch (const std::runtime_error &e) {
        throw RunError(e.what());
    }
    OpenInstrument(args);
    std::cout << server.Resource() << std::endl; // the first line, for whoever started us
    std::cerr << "zqlscope scpi: serving the instrument at " << server.Resource() << "; Ctrl-C ends\n";
    server.Run();     // until Ctrl-C
    USBFlushBuffer(); // register writes not yet sent with an acquisition
    std::cerr << "zqlscope scpi: stopped\n";
    return kExitDone;
}

} // namespace zqlscope
