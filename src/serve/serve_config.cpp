// vantrel serve: a recorder's configuration through the daemon.
#include "serve_config.hpp"

#include "transport/serve_protocol.hpp"
#include "vantrel/error.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel::serve {

ServedRun servedRun(const acquire::LogConfig& config, const std::string& socketPath) {
    ServedRun run;
    run.recorder = config;
    for (acquire::BoardConfig& b : run.recorder.boards) {
        if (!isWord(b.name))
            throw Error(err::PortOpenFailed, config.source + ": board \"" + b.name +
                                                 "\": a served board's name is a word without "
                                                 "spaces (clients give it after \"#\")");
        BoardSetup setup;
        setup.name = b.name;
        setup.device = b.port ? portMapDevices()(*b.port) : b.device;
        setup.baud = b.baud;
        run.boards.push_back(setup);
        b.origin = setup.device;
        b.device = "unix://" + socketPath + "?role=recording#" + b.name;
        b.port.reset();
    }
    return run;
}

}  // namespace vantrel::serve
