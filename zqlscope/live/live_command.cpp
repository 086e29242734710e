// zqlscope live: serves a scope screen to browsers and streams the
// instrument to it until Ctrl-C.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "commands.h"
#include "live.h"
#include "zqlusb.h"

namespace zqlscope {

CommandSpec LiveSyntax() {
    const std::string points = std::to_string(ZQLUSB_CHANNEL_POINTS);
    return {
        "live",
        "a live scope screen in the browser, until Ctrl-C",
        "",
        0,
        {{"--port", ValueKind::Number, "N", "0", "TCP port of the page, 0 to 65535; 0 takes any free port", 0, 65535},
         {"--listen", ValueKind::Text, "ADDR", "127.0.0.1",
          "address to serve on, IPv4 or IPv6; 0.0.0.0 or :: is every address of this machine"},
         {"--allow-host", ValueKind::Text, "NAME[,NAME]", "none",
          "host names the page may be reached by besides this machine's addresses (a name in DNS or in the "
          "hosts file)"},
         {"--mode", ValueKind::Text, "roll|capture", "roll",
          "roll: the roll-mode stream, newest at the right; capture: a whole record per frame"},
         {"--count", ValueKind::Number, "N", "1000", "points of each capture record, 1 to " + points, 1,
          ZQLUSB_CHANNEL_POINTS},
         {"--trigger", ValueKind::Text, "SOURCE:SLOPE:LEVEL", "none",
          "trigger on channel a or b, rising or falling, at a level of 0 to 255 counts (a:rising:128)"},
         {"--trigger-mode", ValueKind::Text, "off|auto|normal|single", "auto with --trigger, else off",
          "auto: free-runs when nothing triggers for two screens; normal: keeps the last triggered screen; "
          "single: one trigger, then stops until re-armed; off: no trigger"},
         {"--trigger-position", ValueKind::Number, "PERCENT", "50",
          "share of the screen before the trigger point, 0 to 100", 0, 100},
         {"--holdoff", ValueKind::Number, "N", "0", "points after a trigger in which no other is taken", 0, 1000000000},
         {"--sample-rate", ValueKind::Text, "HZ", "none", "points per second (1e6, 250k, 20M): time in seconds"},
         {"--volts-per-count", ValueKind::Text, "A=V,B=V", "none", "volts of one count, per channel"},
         {"--zero-count", ValueKind::Text, "A=N,B=N", "0", "the count that reads 0 V, per channel"},
         {"--open", ValueKind::Flag, "", "off", "start the desktop's browser on the page"}},
        "Prints the page's URL as the first line of standard output; it carries a key made at each start, "
        "which the page and its WebSocket need (the page keeps it in a cookie for reloads). On 127.0.0.1 only "
        "this machine's programs reach the page. On another address anyone who can reach that address and has "
        "the URL controls the instrument: serve it there only on a network you trust. With --dialog a failed "
        "write may wait for the retry dialog's answer. Without --sample-rate and --volts-per-count the screen "
        "reads in points and counts: the instrument's own scale is unknown to the library. Ctrl-C closes the "
        "instrument and exits with 0."};
}

namespace {

live::LoopSettings SettingsFrom(const CommandSpec &syntax, const Arguments &args) {
    live::LoopSettings settings;
    const std::string mode = args.Text("--mode", "roll");
    if (mode != "roll" && mode != "capture") {
        throw UsageError("--mode must be roll or capture, not '" + mode + "'");
    }
    settings.mode = mode == "roll" ? live::Mode::Roll : live::Mode::Capture;
    if (args.Has("--count") && settings.mode != live::Mode::Capture) {
        throw UsageError("--count sets the points of a capture record; it needs --mode capture");
    }
    settings.count = static_cast<long>(OptionNumber(syntax, args, "--count"));
    settings.dialog = args.Has("--dialog");
    for (const char *option : {"--sample-rate", "--volts-per-count", "--zero-count"}) {
        if (args.Has(option)) {
            if (const std::string error = signal::ParseUnitOption(option, args.Text(option), settings.units);
                !error.empty()) {
                throw UsageError(error);
            }
        }
    }
    return settings;
}

// The trigger as given at the start; the page changes it later.
signal::TriggerSettings TriggerFrom(const CommandSpec &syntax, const Arguments &args) {
    signal::TriggerSettings trigger;
    trigger.mode = args.Has("--trigger") ? signal::TriggerMode::Auto : signal::TriggerMode::Off;
    std::string error;
    if (args.Has("--trigger")) {
        error = signal::ParseEdge(args.Text("--trigger"), trigger.edge);
    }
    if (error.empty() && args.Has("--trigger-mode")) {
        error = signal::ParseMode(args.Text("--trigger-mode"), trigger.mode);
    }
    if (!error.empty()) {
        throw UsageError(error);
    }
    trigger.position = static_cast<double>(OptionNumber(syntax, args, "--trigger-position"));
    trigger.holdoff = static_cast<std::uint64_t>(OptionNumber(syntax, args, "--holdoff"));
    return trigger;
}

// Starts the desktop's browser on the page, without waiting for it. The URL
// holds only an address, a port and the hexadecimal key, nothing the shell
// would interpret (on Windows, "start" is given it in quotes).
void OpenBrowser(const std::string &url) {
#ifdef _WIN32
    const std::string command = "start \"\" \"" + url + "\"";
#else
    const std::string command = "xdg-open '" + url + "' >/dev/null 2>&1 &";
#endif
    if (std::system(command.c_str()) != 0) {
        std::cerr << "zqlscope live: could not start a browser; open " << url << " yourself\n";
    }
}

} // namespace

int Live(const CommandSpec &syntax, const Arguments &args) {
    const live::LoopSettings settings = SettingsFrom(syntax, args);
    live::ServerSettings where;
    where.port = static_cast<unsigned short>(OptionNumber(syntax, args, "--port"));
    where.address = args.Text("--listen", "127.0.0.1");
    if (args.Has("--allow-host")) {
        where.allowHosts = CommaList(args.Text("--allow-host"));
    }

    live::Controls controls;
    controls.screen.trigger = TriggerFrom(syntax, args);
    live::Server server(controls);
    try {
        server.Start(where);
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    } catch (const std::runtime_error &e) {
        throw RunError(e.what());
    }
    std::cout << server.Url() << std::endl; // the first line, for whoever started us
    std::cerr << "zqlscope live: serving the scope screen at " << server.Url() << "; Ctrl-C ends\n";
    if (args.flags.count("--open")) {
        OpenBrowser(server.Url());
    }
    std::thread acquisition(
        [&] { live::RunAcquisition(settings, controls, [&](live::MessagePtr m) { server.Broadcast(std::move(m)); }); });
    server.Run(); // until Ctrl-C
    controls.quit = true;
    acquisition.join();
    std::cerr << "zqlscope live: stopped\n";
    return 0;
}

} // namespace zqlscope
