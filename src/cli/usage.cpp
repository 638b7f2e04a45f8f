#include "cli/usage.hpp"

#include <cstdio>

#include "cli/arguments.hpp"

namespace norvik::cli {

std::string usage_text(const std::string& service) {
    const std::string svc = service.empty() ? "<service>" : service;
    std::string t;
    t += "Usage: restartsrv_" + svc + " [options] [words]\n";
    t += "       start" + svc + " [options]\n";
    t += "       stop" + svc + " [options]\n";
    t += "       restartsrv_base <service> [options] [words]\n";
    t += "\n";
    t += "Starts, stops, restarts, reloads or checks one service. The service and the\n";
    t += "default action come from the program name: restartsrv_<service> restarts,\n";
    t += "start<service> starts (through a restart of a stopped service) and\n";
    t += "stop<service> stops. Called as restartsrv_base, the first argument that is\n";
    t += "not an option names the service.\n";
    t += "\n";
    t += "Options (one or two leading dashes; a unique prefix is enough):\n";
    t += "  --restart              restart the service (the default)\n";
    t += "  --no-restart           do not restart: report the status instead\n";
    t += "  --stop, --no-stop      stop the service (--no-stop: restart)\n";
    t += "  --reload, --no-reload  reload the service, when it supports reloading\n";
    t += "                         (--no-reload: restart)\n";
    t += "  --status, --no-status  report whether the service is running\n";
    t += "  --check, --no-check    check that the service is up and working\n";
    t += "  --verbose, --no-verbose\n";
    t += "                         show progress, the status and the startup log\n";
    t += "  --debug, --no-debug    write debug lines with elapsed times to the log\n";
    t += "  --restart-attempt=N    make only start attempt N (counted from 1)\n";
    t += "  --graceful[=0|1], --no-graceful\n";
    t += "                         allow (1, the default) or forbid (0) a graceful\n";
    t += "                         restart\n";
    t += "  --systemd-service=UNIT used by systemd units: with --stop, a unit whose\n";
    t += "                         main process was already ended by TERM or KILL\n";
    t += "                         is left alone\n";
    t += "  --help, -h, help       show this text and do nothing else\n";
    t += "The last of --stop, --reload and --restart decides; --status or --check\n";
    t += "after them wins, before them it is reset. RESTARTSRV_CHECKMODE_HEADER=1\n";
    t += "prints a header line before the output of a check.\n";
    t += "\n";
    t += "Words:\n";
    t += "  start, restart, stop   the same as --start (a restart), --restart, --stop\n";
    t += "  --hard, hard           stop and start, never a graceful restart\n";
    t += "  --force, force         start even during a base installation\n";
    t += "  --initd                use the service's init script instead of systemd\n";
    t += "  --absent-ok            a service that is not configured or not installed\n";
    t += "                         counts as success (its reason goes to stderr)\n";
    t += "  --no-fpm-status        do not print the PHP-FPM status line\n";
    t += "  html                   any argument containing \"html\" selects HTML output\n";
    t += "  <action>               a custom action the service defines\n";
    t += "Other arguments are passed on untouched (an unknown option with a warning);\n";
    t += "an option close to a known one, or an ambiguous prefix such as --st, is\n";
    t += "refused. Arguments containing \"--check\" are not recorded in the log.\n";
    t += "RESTARTSRV_OUTPUT=json prints JSON lines and a closing result record.\n";
    t += "\n";
    t += "Exit status:\n";
    t += "  0    the action ran without error (also: a systemd stop of a unit already\n";
    t += "       ended by a signal; a not configured or not installed service with\n";
    t += "       --absent-ok; this help)\n";
    t += "  2    a mistyped option: nothing was done\n";
    t += "  255  the action failed, the service is unknown or the name is invalid,\n";
    t += "       or a change was asked for without root;\n";
    t += "       the reason is printed on standard error (or shown in verbose runs)\n";
    t += "  143  the program received TERM; the restart lock is released\n";
    t += "\n";
    t += "Example:\n";
    t += "  restartsrv_" + svc + " --verbose      restart " + svc + " and show its startup log\n";
    t += "  stop" + svc + "                       stop " + svc + "\n";
    t += "  restartsrv_" + svc + " --status       is " + svc + " running?\n";
    return t;
}

int usage(const std::string& service) {
    std::string text = usage_text(service);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace norvik::cli
