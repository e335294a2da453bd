// stationsim: one process simulating a whole station of devices on loopback.
#include "stationsim/DeviceTable.h"
#include "stationsim/Endpoint.h"
#include "stationsim/Options.h"
#include "stationsim/RequestLog.h"
#include "stationsim/SerialLine.h"
#include "stationsim/StateFile.h"
#include "stationsim/StationConfig.h"
#include "stationsim/StopSignal.h"
#include "stationsim/TcpListener.h"
#include "stationsim/UdpResponder.h"
#include "wire/Datagram.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <sys/signalfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "stationsim: %s\n", message.c_str());
    return code;
}

} // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    if (!sim::parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "stationsim: %s\n%s", error.c_str(), "Try 'stationsim --help'.\n");
        return 2;
    }
    if (options.help) {
        std::fputs(sim::usageText(), stdout);
        return 0;
    }

    if (options.log)
        sim::enableRequestLog();

    sim::StationConfig config;
    if (!sim::loadStationFile(options.station, config, error))
        return fail(2, options.station + ": " + error);
    sim::DeviceTable table(std::move(config));

    std::unique_ptr<sim::StateFile> state;
    if (!options.state.empty()) {
        state = std::make_unique<sim::StateFile>(options.state);
        if (!state->load(table, error))
            return fail(2, options.state + ": " + error);
    }

    // Signals are taken synchronously on this thread; every thread started below
    // inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    sim::StopSignal stop;
    if (signalFd < 0 || !stop.ok())
        return fail(1, "cannot set up signal handling");

    sim::Endpoint endpoint;
    if (!sim::openEndpoint(options.portGiven ? options.port : wire::kDefaultPort, endpoint, error))
        return fail(1, error);

    const auto& cfg = table.config();
    std::unique_ptr<sim::SerialLine> serial;
    if (!options.serial.empty()) {
        serial = std::make_unique<sim::SerialLine>(stop, cfg.serialBaud);
        if (!serial->open(options.serial, error)) {
            sim::closeEndpoint(endpoint);
            return fail(2, error);
        }
    }

    const sim::SessionContext network{table, state.get(), false, cfg.linkKbps * 125.0,
                                      cfg.flashKbps * 1000.0};
    const sim::SessionContext line{table, state.get(), true, 0.0, cfg.flashKbps * 1000.0};

    sim::UdpResponder udp(endpoint.udp, table, stop);
    sim::TcpListener tcp(endpoint.tcp, network, stop, options.maxConnections);
    std::thread udpThread, tcpThread, serialThread;
    try {
        udpThread = std::thread([&udp] { udp.serve(); });
        tcpThread = std::thread([&tcp] { tcp.serve(); });
        if (serial)
            serialThread = std::thread([&serial, &line] { serial->serve(line); });
    } catch (const std::system_error& e) {
        stop.stop();
        for (std::thread* t : {&udpThread, &tcpThread})
            if (t->joinable())
                t->join();
        if (serial)
            serial->removeLink();
        sim::closeEndpoint(endpoint);
        return fail(1, std::string("cannot start serving: ") + e.what());
    }

    std::printf("stationsim listening on 127.0.0.1:%u\n", static_cast<unsigned>(endpoint.port));
    std::fflush(stdout);

    for (;;) {
        signalfd_siginfo info{};
        const ssize_t n = ::read(signalFd, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info) || (n < 0 && errno != EINTR))
            break;
    }

    stop.stop();
    udpThread.join();
    tcpThread.join();
    if (serialThread.joinable())
        serialThread.join();
    if (serial)
        serial->removeLink();
    sim::closeEndpoint(endpoint);
    ::close(signalFd);
    return 0;
}
