// The setLogFilter command language: one table of commands, the settings each one changes and
// what it prints. (Module switches and statistics are seen through lines in PrintLogTest.)
#include <algorithm>
#include <map>
#include <sstream>

#include "LogTestSupport.h"
#include "infra3/logfile/LogFile.h"

using namespace LogTests;

namespace {

class LogCommands : public LogFixture {};

using Settings = std::map<std::string, std::string>;

// Applies "name=value ..." to `settings`; returns the first word that is not one.
std::string applyChanges(Settings& settings, std::istream& changes) {
    std::string change;
    while (changes >> change && change.find('=') != std::string::npos) {
        settings[change.substr(0, change.find('='))] = change.substr(change.find('=') + 1);
    }
    return change.find('=') == std::string::npos ? change : std::string();
}

// Every setting the commands change ("?": the stored and live flags differ).
Settings settings() {
    PrintOptions o{};
    getPrintOptions(&o);
    const InfraPrintOption& live = *Infra_getPrintOption();
    auto on = [](bool stored, bool now) { return stored != now ? "?" : stored ? "off" : "on"; };
    const auto file = Detail::logFileGetSettings();
    char text[512];
    std::snprintf(text, sizeof text,
                  "level=%d time=%s thread=%s version=%s function=%s size=%d mode=%s byday=%s "
                  "max=%d path=%s",
                  getPrintLogLevel(), on(o.noTime, live.noTime), on(o.noThread, live.noThread),
                  on(o.noVersion, live.noVersion), on(o.noFunction, live.noFunction),
                  file.sizeLimit, file.rotating ? "rotating" : "none", file.byDay ? "on" : "off",
                  file.maxCount, Detail::logFileGetPath());
    Settings all;
    std::istringstream in(text);
    applyChanges(all, in);
    return all;
}

const std::string kUsage =
    "logfilter command usage:\n"
    "logfilter -loglevel [levelnum](0-no printlevel, 1-fatal, 2-error, 3-warn, 4-info, 5-trace, "
    "6-debug): set log level\n"
    "logfilter -logmodule [modulename] [on/off] #turn module's log on/off\n"
    "logfilter -logmodule [on/off] #turn ALL module's log on/off\n"
    "logfilter -logpath [logpath/] #logger module's log to logpath or cancel logger(by set path "
    "to )\n"
    "logfilter -logmodulestatistics  [on/off] #turn ALL module's logstatistics func on/off\n"
    "logfiter -logsize [logsize] #log file max size limited to logsize Kbytes\n"
    "logfiter -logsavesetting bysize [logsize] [maxnumber]#(logsize-log will save as a new file "
    "if log's size reaches to logsize),(maxnumber-total log file)\n"
    "logfiter -logsavesetting byday [on/off] [maxnumber] #(on-log will save as a new file if "
    "date changes),(maxnumber-total log file)\n"
    "logfiter -logsavesetting none #log file save in the old way\n";

// Steps ending in ";": a command's words ("~" a null word, "''" an empty one, "_" a blank in a
// word), "=>", and what it does: "usage"; "refused V" (the value V is named, the setting kept);
// "invalid" (the path is refused and emptied); or the settings it changes, printing nothing.
const char* const kSteps =
    "=> usage; -h => usage; -h extra =>; -loglevel 5 => level=5; -loglevel =>; -LOGLEVEL 1 =>; "
    "-loglevel +2 => level=2; -loglevel 9 => level=9; -logtime off => time=off; "
    "-logthread OFF => thread=off; -logversion no => version=off; -logfunction off => "
    "function=off; "
    "-logfunction On => function=on; -logfunction =>; -logtime on extra => time=on; "
    "-logsize 4 => size=4096; -logsize 0 => size=0; -logsize 4 => size=4096; -logsize -5 => "
    "size=0; "
    "-logsize 99999999999 => size=2147483647; -logsize 2097151 => size=2147482624; "
    "-logsavesetting BYDAY on 5 => mode=rotating byday=on max=5; "
    "-logsavesetting bysize 2 0 => size=2048 max=0; -logsavesetting bysize 2 =>; "
    "-logsavesetting bysize 3 -4 x =>; -logsavesetting None => mode=none; "
    "-logsavesetting byday off -3 => mode=rotating byday=off max=0; -logsavesetting other =>; "
    "-logsavesetting none x =>; -logsavesetting bysize 8 3 => size=8192 max=3; "
    "-loglevel nine => refused nine; -loglevel 3x => refused 3x; -loglevel '' => refused ''; "
    "-loglevel ~ => refused (null); -logsize 1MB => refused 1MB; -logsize + => refused +; "
    "-logsavesetting bysize 1MB 5 => refused 1MB; -logsavesetting bysize 2 five => refused five; "
    "-logsavesetting byday on 7_ => refused 7_; -logpath logs/ => invalid; "
    "-logpath app.log => path=./app.log; -logpath =>; -logpath C:\\logs\\ => invalid; "
    "-logpath app.log => path=./app.log; -logpath '' => path=; -unknown x =>; -logsize 0 => "
    "size=0; "
    "-logsavesetting byday off 0 => mode=rotating max=0; -logsavesetting none => mode=none; ";

TEST_F(LogCommands, EachCommandChangesItsSettingsAndPrintsOnlyWhatItMust) {
    Settings expected = settings();
    std::istringstream table(kSteps);
    for (std::string step;
         std::getline(table, step, ';') && step.find("=>") != std::string::npos;) {
        auto word = [](std::string w) {
            std::replace(w.begin(), w.end(), '_', ' ');
            return w == "''" ? std::string() : w;
        };
        std::istringstream in(step.substr(0, step.find("=>"))),
            does(step.substr(step.find("=>") + 2));
        std::vector<std::string> words;
        std::vector<const char*> argv;
        for (std::string w; in >> w;) {
            words.push_back(word(w));
        }
        for (const std::string& w : words) {
            argv.push_back(w == "~" ? nullptr : w.c_str());
        }
        std::string want, change = applyChanges(expected, does);
        if (change == "usage") {
            want = kUsage;
        } else if (change == "refused" && does >> change) {
            want = "logfilter " + words[0] + ": \"" + word(change) +
                   "\" is not a whole number; the setting is kept\n";
        } else if (change == "invalid") {
            want = "]logDir is invalid\n";
            expected["path"] = "";
        }
        testing::internal::CaptureStdout();
        setLogFilter(static_cast<int>(argv.size()), const_cast<char* const*>(argv.data()));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(settings(), expected) << step;
        EXPECT_EQ(printed.substr(printed.size() - std::min(printed.size(), want.size())), want)
            << step;
        EXPECT_EQ(printed.empty(), want.empty()) << step;
    }
}

}  // namespace
