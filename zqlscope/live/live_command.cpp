// zqlscope live: serves a scope screen to browsers and streams the
// instrument to it until Ctrl-C.
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "commands.h"
#include "live.h"
#include "zqlusb.h"

namespace zqlscope {

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
    return settings;
}

// Starts the desktop's browser on the page, without waiting for it. The URL
// holds only an address and a port, nothing the shell would interpret.
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
    const auto port = static_cast<unsigned short>(OptionNumber(syntax, args, "--port"));
    const std::string address = args.Text("--listen", "127.0.0.1");

    live::Controls controls;
    live::Server server(controls);
    try {
        server.Start(address, port);
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
