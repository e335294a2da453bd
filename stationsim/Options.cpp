#include "stationsim/Options.h"

#include "support/ParseInt.h"

namespace sim {

namespace {

bool parsePort(const std::string& text, std::uint16_t& out) {
    const auto port = support::parseInteger(text, 0, 65535);
    if (port)
        out = static_cast<std::uint16_t>(*port);
    return port.has_value();
}

} // namespace

bool parseOptions(int argc, char** argv, Options& out, std::string& error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            continue;
        }
        if (arg == "--log") {
            o.log = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        if (arg != "--station" && arg != "--port" && arg != "--state" && arg != "--serial" &&
            arg != "--max-connections") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (value.empty()) {
            error = "option " + arg + " needs a non-empty value";
            return false;
        }
        if (arg == "--station") {
            o.station = value;
        } else if (arg == "--state") {
            o.state = value;
        } else if (arg == "--serial") {
            o.serial = value;
        } else if (arg == "--max-connections") {
            const auto n = support::parseInteger(value, 1, 65535);
            if (!n) {
                error = "--max-connections: '" + value + "' is not a number 1..65535";
                return false;
            }
            o.maxConnections = static_cast<std::uint32_t>(*n);
        } else if (!parsePort(value, o.port)) {
            error = "--port: '" + value + "' is not a port number (0..65535)";
            return false;
        } else {
            o.portGiven = true;
        }
    }
    if (!o.help && o.station.empty()) {
        error = "--station FILE is required";
        return false;
    }
    out = o;
    return true;
}

const char* usageText() {
    return R"(Usage: stationsim --station FILE [--port N] [--state FILE] [--serial PATH]
                  [--max-connections N] [--log]

Simulates a station of networked devices on 127.0.0.1 for the device-access
library. Prints "stationsim listening on 127.0.0.1:PORT" when ready and serves
until SIGINT or SIGTERM.

  --station FILE  station file (JSON), see below
  --port N        UDP and TCP port (default 47300); 0 picks a free one
  --state FILE    load installed versions from FILE and save them after every
                  committed upload (a missing file starts from the station file)
  --serial PATH   create a pseudo-terminal, link PATH to it and serve the devices
                  marked "serial" on it (an existing symlink is replaced, any
                  other file at PATH is refused)
  --max-connections N  upload connections served at once (default 256); one
                  more is closed at once
  --log           print one line per scan, info query and upload on stderr

Station file; every key but a device's "id" is optional (default in brackets):
  link_kbps    integer >= 0, kilobits/s per upload session [0 = unthrottled]
  flash_kbps   integer >= 0, kilobytes/s (1000 bytes) of flash programming [0]
  serial_baud  integer >= 0, bits/s of the serial line, 10 bits a byte [0]
  devices      array of devices, in scan order [empty]
Device:
  id           non-zero 32-bit integer, unique (required)
  address      dotted IPv4 text the device reports ["0.0.0.0"]
  name         string of at most 63 bytes [""]
  family, kind, sub   integers 0..255 of the type code [0]
  letter       one ASCII character, the type code's low byte [NUL]
  version      [major, minor], integers >= 0 [[0, 0]]
  serial       true: also served on the --serial line [false]
  accepts      image type codes it takes, e.g. [2, 255]; any other is refused
               at Begin (NotAccepted) [every type]
  trusted_keys public keys (lines of mkfwimage .pub files); when given, only images
               signed by one of them are taken [none: signatures not checked]
  security_counter  lowest image security counter taken; rises with each
               signed image committed and is kept in the state file [0]
  faults       object, all off by default:
    silent       true: listed by scan, answers nothing else
    drop_after   N: reset the connection once N image bytes arrived
    corrupt_at   N: flip the image byte at offset N on receipt (0 = off)
    reject       true: refuse every image
    flash_fail   true: fail flash programming at 50 %
    stall_after  N: stop reading and answering after N image bytes
    delay_ms     N: send every reply N ms late

Exit status: 0 after SIGINT/SIGTERM, 2 for bad options or a bad station or
state file, 1 when the port or the serial line cannot be set up.
)";
}

} // namespace sim
