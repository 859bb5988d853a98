// update-server: serves a catalogue directory to the Updater over HTTP, as an offline mirror.
#include "CgiRequest.h"
#include "FastCgiServer.h"
#include "ToolFiles.h"
#include "ToolOptions.h"
#include "ToolStop.h"
#include "ToolVersion.h"
#include "UpdateServer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace {

constexpr std::chrono::seconds kStopGrace{5};

constexpr const char* kHelp =
    R"(Usage: update-server [--fastcgi] [--listen ADDRESS] [--port PORT] [--request-deadline SECONDS]
                     [--quiet] CATALOGUE
       update-server --cgi [--quiet] CATALOGUE

Serves the firmware catalogue in the directory CATALOGUE to the Updater over HTTP at
http://ADDRESS:PORT/cgi/u (point the Updater at it with -u). Prints that URL on standard output
once listening, logs every request on standard error, and stops on SIGINT or SIGTERM. One client
may hold 8 connections and all clients 64; idle connections are closed after 60 seconds, and so
is a connection whose request has not arrived whole within the request deadline of its opening
(or of the previous reply on it), however steadily it trickles in. Only regular files inside
CATALOGUE are served. http://ADDRESS:PORT/metrics has the server's metrics in the Prometheus text
format: requests by operation and status, bytes served, builds served by serial and build,
refusals by reason and a request-duration histogram.

With --cgi it answers one request as a CGI program instead, for a web server (nginx with
fcgiwrap, Apache's mod_cgi, lighttpd) that brings its own TLS, authentication, rate limits and
caching: the request comes from REQUEST_METHOD, QUERY_STRING, SCRIPT_NAME and PATH_INFO, the reply
("Status:", "Content-Type:" and the body) goes to standard output, and the same limits and
refusals apply as in the server. The protocol is served at SCRIPT_NAME; catalogue warnings go to
standard error, the web server's error log.

With --fastcgi it speaks FastCGI on ADDRESS:PORT instead of HTTP, to a web server that passes
requests on to it (nginx's fastcgi_pass, Apache's mod_proxy_fcgi). As with --cgi, the web server
brings TLS, authentication, rate limits and caching; but one process answers every request, so a
build goes out about as fast as from the server itself. It serves the protocol at SCRIPT_NAME and
the metrics at /metrics, logs, limits and refuses as the server does, and stops the same way,
once the replies being sent are out.

Options:
  --listen ADDRESS             IPv4 or IPv6 address to listen on [127.0.0.1]
  --port PORT                  TCP port; 0 picks a free one [8380]
  --request-deadline SECONDS   time a request has to arrive whole, 1 to 3600 [10]
  --cgi                        answer one request as a CGI program
  --fastcgi                    speak FastCGI to a web server instead of HTTP
  --quiet                      log nothing but start-up errors
  -h, --help                   show this text
  --version                    show the version

Environment:
  CORVANE_BIRD_IMAGE_LIMIT_MIB   the BIRD image limit in MiB, as for the Updater [64]: files
                                 larger than any BIRD file whose image fits it, and files whose
                                 image grows past it before their info block, are left out

Catalogue layout (read on every request, so files may be added or replaced while serving):
  CATALOGUE/recovery        optional: the chip-fingerprint table for recovery, one module a line:
                              W0 W1 W2 W3 SERIAL BUILD
                            four fingerprint words and the serial in hexadecimal, the build in
                            decimal; text after '#' is a comment
  CATALOGUE/SSSSSSSS/       one folder per module, named by its serial number in eight upper-case
                            hexadecimal digits (for example 40F5849A)
    NNN.bird                a BIRD file for build NNN (decimal, no leading zero); the version
                            listed for it is the one in its info block
    firmware                optional: the module's firmware identifier (first line); requests for
                            a BIRD file must name it
    token                   optional: the module's device token (JWT, first line)
  CATALOGUE/DEADDEAD/       the recovery loaders, served for the placeholder serial number that
                            a chip in recovery reports; laid out like any module

The latest build of a module is the one with the newest version; equal versions (and files
without one) go to the higher build number. Versions are read from each file's info block,
decompressing no further, at most 2 files at a time, and kept until the file changes.

Requests (GET /cgi/u?op=...): hi (ping), qu&sn= (latest build and firmware identifier),
builds&sn= (build list), bird&sn=&fw=&bld=&no_cal= (the BIRD file in Base64; no_cal is accepted
and ignored), ent_jwt&sn= (device token), fix&fp= (serial and build for a chip fingerprint).
A refusal is a line "error <reason>" with status 400 (bad request) or 404 (not in the catalogue).
)";

int usageError(const std::string& message) {
    fprintf(stderr, "update-server: %s\nTry 'update-server --help'.\n", message.c_str());
    return 2;
}

using Corvane::Tools::OptionValues;
using Corvane::Tools::ToolOption;

// A whole decimal number in [low, high].
bool decimal(const std::string& text, unsigned long low, unsigned long high, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && text[0] != '-' && value >= low && value <= high;
}

enum class Parsed { Run, Help, Error };

enum class Mode { http, fastcgi, cgi };

// Fills config and mode from the command line; on Error, error holds what was wrong.
Parsed parseOptions(int argc, char** argv, updateserver::ServerConfig& config, Mode& mode,
                    std::string& error) {
    bool cgi = false;
    bool fastcgi = false;
    bool haveCatalogue = false;
    bool listening = false; // an option that only the server takes
    const ToolOption table[] = {
        {.name = "--cgi", .handler = Corvane::Tools::setsFlag(cgi)},
        {.name = "--fastcgi", .handler = Corvane::Tools::setsFlag(fastcgi)},
        {.name = "--help", .alias = "-h", .stops = true},
        {.name = "--listen",
         .values = 1,
         .valueName = "an address",
         .handler =
             [&config, &listening](OptionValues values) {
                 config.listenAddress = values[0];
                 listening = true;
                 return std::string();
             }},
        {.name = "--port",
         .values = 1,
         .valueName = "a number",
         .handler = [&config, &listening](OptionValues values) -> std::string {
             listening = true;
             unsigned long port = 0;
             if (!decimal(values[0], 0, 65535, port)) {
                 return "--port needs a number from 0 to 65535";
             }
             config.port = static_cast<uint16_t>(port);
             return {};
         }},
        {.name = "--request-deadline",
         .values = 1,
         .valueName = "a number of seconds",
         .handler = [&config, &listening](OptionValues values) -> std::string {
             listening = true;
             unsigned long seconds = 0;
             if (!decimal(values[0], 1, 3600, seconds)) {
                 return "--request-deadline needs a number of seconds from 1 to 3600";
             }
             config.requestDeadline = std::chrono::seconds(seconds);
             return {};
         }},
        {.name = "--quiet",
         .handler =
             [&config](OptionValues) {
                 config.log = nullptr;
                 return std::string();
             }},
    };
    const Corvane::Tools::OptionRules rules{
        .unknown = [](const std::string& word, bool) { return "unknown option " + word; },
        .missingValue = [](const ToolOption& option,
                           const std::string& word) { return word + " needs " + option.valueName; },
        .operand = [&](const std::string& word) -> std::string {
            if (haveCatalogue) {
                return "only one catalogue directory can be served";
            }
            config.catalogue = word;
            haveCatalogue = true;
            return {};
        },
    };
    const auto walk =
        Corvane::Tools::walkOptions(table, rules, Corvane::Tools::commandWords(argc, argv));
    if (walk.outcome == Corvane::Tools::OptionWalk::Outcome::Stopped) {
        return Parsed::Help;
    }
    error = walk.error;
    if (error.empty() && !haveCatalogue) {
        error = "no catalogue directory given";
    }
    if (error.empty() && cgi && fastcgi) {
        error = "--cgi and --fastcgi do not go together: --cgi answers one request, --fastcgi "
                "serves";
    }
    if (error.empty() && cgi && listening) {
        error = "--cgi answers through the web server: --listen, --port and --request-deadline "
                "do not go with it";
    }
    mode = cgi ? Mode::cgi : fastcgi ? Mode::fastcgi : Mode::http;
    return error.empty() ? Parsed::Run : Parsed::Error;
}

// Serves until a stop request; stopping waits for the requests in progress, but whatever they
// do, the process ends in time.
template <typename Server>
int serve(Server& server, const updateserver::ServerConfig& config,
          Corvane::Tools::os::StopRequests& stopRequests,
          const std::function<std::string()>& where) {
    std::string error;
    if (!server.start(config, error)) {
        fprintf(stderr, "update-server: %s\n", error.c_str());
        return 1;
    }
    printf("update-server: serving %s %s\n", config.catalogue.c_str(), where().c_str());
    fflush(stdout);

    const std::string stopRequest = stopRequests.wait();
    std::promise<void> stopped;
    std::thread stopper([&server, &stopped] {
        server.stop();
        stopped.set_value();
    });
    if (stopped.get_future().wait_for(kStopGrace) != std::future_status::ready) {
        if (config.log) {
            fprintf(config.log, "update-server: requests still running after %lld s; exiting\n",
                    static_cast<long long>(kStopGrace.count()));
            fflush(config.log);
        }
        std::_Exit(1);
    }
    stopper.join();
    if (config.log) {
        fprintf(config.log, "update-server: stopped (%s)\n", stopRequest.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (printToolVersion("update-server", argc, argv))
        return 0;
    updateserver::ServerConfig config;
    Mode mode = Mode::http;
    std::string usage;
    switch (parseOptions(argc, argv, config, mode, usage)) {
    case Parsed::Help: fputs(kHelp, stdout); return 0;
    case Parsed::Error: return usageError(usage);
    case Parsed::Run: break;
    }
    if (mode == Mode::cgi) {
        Corvane::Tools::os::binaryStandardOutput();
        return updateserver::answerCgi(
            config.catalogue, [](const char* name) { return std::getenv(name); }, stdout,
            config.log);
    }

    // Taken before the server's threads start, so that only the wait below sees them.
    Corvane::Tools::os::StopRequests stopRequests(false);
    if (mode == Mode::fastcgi) {
        updateserver::FastCgiServer server;
        return serve(server, config, stopRequests,
                     [&server] { return "to FastCGI on " + server.address(); });
    }
    updateserver::UpdateServer server;
    return serve(server, config, stopRequests, [&server] { return "on " + server.url(); });
}
