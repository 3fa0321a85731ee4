#include "Commands.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "platform/Registry.h"
#include "res/StringTable.h"
#include "res/resource.h"

namespace host {
namespace {

const char kRoot[] = "HKEY_CURRENT_USER";

struct ServerValue {
    unsigned id;           // string-table id of the value's name
    const char* option;    // settings option that sets it
    const char* fileName;  // the script's name below --server-base
};
const ServerValue kServerValues[] = {
    {IDS_VALUE_LIST, "--list", "getlist.php3"},
    {IDS_VALUE_LIST2, "--list2", "getlist2.php3"},
    {IDS_VALUE_DATA, "--data", "getdata.php3"},
    {IDS_VALUE_NOTIFY, "--notify", "log.php3"},
};

std::string CodeText(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", code);
    return text;
}

void ExpectCount(const Args& args, size_t count, const char* command) {
    if (args.size() < count) throw UsageError(std::string(command) + ": missing arguments");
    if (args.size() > count) throw UsageError(std::string(command) + ": unexpected argument '" + args[count] + "'");
}

std::string ToLibrary(const Encoding& text, const std::string& value, const char* what) {
    std::string cp932;
    if (!text.ToLibrary(value, cp932))
        throw UsageError(std::string(what) + " cannot be written in code page 932");
    return cp932;
}

// An option's value, which must follow it.
std::string OptionValue(const Args& args, size_t& i) {
    if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value");
    return args[++i];
}

int Refused(const std::string& what) {
    std::fprintf(stderr, "flb-host: %s\n", what.c_str());
    return kExitRefused;
}

// A code array from the library, released as the library asks.
struct CodeList {
    uint32_t* codes = nullptr;
    int32_t count = 0;
    ~CodeList() { std::free(codes); }
    bool Has(uint32_t code) const { return std::find(codes, codes + std::max(count, 0), code) != codes + std::max(count, 0); }
};

// ---- settings

Action ParseSettings(const Args& args, const Encoding& text) {
    std::map<unsigned, std::string> values;
    std::optional<std::string> base;
    bool show = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--show") {
            show = true;
            continue;
        }
        if (a == "--server-base") {
            base = OptionValue(args, i);
            if (base->empty()) throw UsageError("--server-base needs a URL");
            continue;
        }
        const ServerValue* value = nullptr;
        for (const ServerValue& v : kServerValues)
            if (a == v.option) value = &v;
        if (!value) throw UsageError("settings: unknown option '" + a + "'");
        values[value->id] = ToLibrary(text, OptionValue(args, i), value->option);
    }
    // A single URL given beside the base overrides the base's.
    if (base) {
        const std::string prefix = ToLibrary(text, *base, "--server-base");
        for (const ServerValue& v : kServerValues) values.emplace(v.id, JoinServerUrl(prefix, v.fileName));
    }
    for (const auto& [id, url] : values)
        if (const std::string problem = UrlProblem(url); !problem.empty())
            throw UsageError("settings: " + problem);
    if (values.empty() && !show) throw UsageError("settings: nothing to set or show");

    return [values, show](Host& host) {
        const std::string file = platform::RegistryStandInFile(kRoot);
        if (file.empty()) return Refused("no place for the settings: set FLB_REGISTRY_DIR or HOME");
        const char* key = LoadResString(IDS_REGISTRY_KEY);
        if (!values.empty()) {
            for (const auto& [id, url] : values)
                if (!platform::WriteRegistryValue(kRoot, key, LoadResString(id), url))
                    return Refused(std::string("cannot write ") + LoadResString(id) + " to " + file);
            std::printf("%s\n", file.c_str());
        }
        if (!show) return int{kExitOk};
        if (values.empty()) std::printf("%s\n", file.c_str());
        platform::RegistryKey opened = nullptr;
        platform::RegistryOpenKey(platform::kRegistryCurrentUser, key, opened);
        for (const ServerValue& v : kServerValues) {
            const char* name = LoadResString(v.id);
            uint32_t type = 0, size = 0;
            std::string data;
            bool found = opened && platform::RegistryQueryValue(opened, name, type, nullptr, size) ==
                                       platform::kRegistrySuccess;
            if (found) {
                data.resize(size);
                found = platform::RegistryQueryValue(opened, name, type, data.data(), size) ==
                        platform::kRegistrySuccess;
            }
            if (found) std::printf("%s: %s\n", name, host.text.Show(data.c_str()).c_str());
            else std::printf("%s: (not set)\n", name);
        }
        if (opened) platform::RegistryCloseKey(opened);
        return int{kExitOk};
    };
}

// ---- catalogue

Action ParseFolder(const Args& args, const Encoding&) {
    ExpectCount(args, 1, "folder");
    const std::string dir = args[0];
    if (dir.empty()) throw UsageError("folder: DIR is empty");
    return [dir](Host& host) {
        if (!host.lib.SetFolder(dir.c_str())) return Refused("the library refused the folder " + dir);
        char resolved[PATH_MAX];
        std::printf("%s\n", realpath(dir.c_str(), resolved) ? resolved : dir.c_str());
        return int{kExitOk};
    };
}

using ListFn = int32_t (*)(uint32_t**, int32_t*);

// Copies at once: every text lives in one library buffer until the next call.
struct AdTexts {
    std::string name, file, url;
};
AdTexts Texts(Host& host, uint32_t code) {
    AdTexts t;
    t.name = host.text.Show(host.lib.GetName(code));
    const char* file = host.lib.GetFileName(code);
    t.file = file ? file : "";
    t.url = host.text.Show(host.lib.GetURL(code));
    return t;
}

Action ParseOrder(const Args& args, const Encoding&) {
    ExpectCount(args, 0, "order");
    return [](Host& host) {
        CodeList order, pictures, movies;
        if (!host.lib.GetOrder(&order.codes, &order.count)) return Refused("the library gave no order");
        if (order.count == 0 && !host.updated)
            std::fprintf(stderr, "flb-host: no order: the order belongs to the process that ran the update; "
                                 "chain them: flb-host update --user ID --version V + order\n");
        if (!host.lib.GetPictureList(&pictures.codes, &pictures.count) ||
            !host.lib.GetMovieList(&movies.codes, &movies.count))
            return Refused("the library gave no list of ads");
        for (int32_t i = 0; i < order.count; ++i) {
            const uint32_t code = order.codes[i];
            const char* type = pictures.Has(code) ? "picture" : movies.Has(code) ? "movie" : "-";
            AdTexts t = Texts(host, code);
            std::printf("%s\t%s\t%s\t%s\t%s\n", CodeText(code).c_str(), type, t.name.c_str(), t.file.c_str(),
                        t.url.c_str());
        }
        return int{kExitOk};
    };
}

Action ListAction(const Args& args, const char* command, ListFn Library::*list) {
    ExpectCount(args, 0, command);
    return [list](Host& host) {
        CodeList ads;
        if (!(host.lib.*list)(&ads.codes, &ads.count)) return Refused("the library gave no list of ads");
        for (int32_t i = 0; i < ads.count; ++i) {
            AdTexts t = Texts(host, ads.codes[i]);
            std::printf("%s\t%s\t%s\n", CodeText(ads.codes[i]).c_str(), t.name.c_str(), t.file.c_str());
        }
        return int{kExitOk};
    };
}

Action ParsePictures(const Args& args, const Encoding&) {
    return ListAction(args, "pictures", &Library::GetPictureList);
}
Action ParseMovies(const Args& args, const Encoding&) {
    return ListAction(args, "movies", &Library::GetMovieList);
}

Action ParseShow(const Args& args, const Encoding&) {
    ExpectCount(args, 1, "show");
    const uint32_t code = ParseCode(args[0], "CODE");
    return [code](Host& host) {
        const char* name = host.lib.GetName(code);
        if (!name) return Refused("no ad " + CodeText(code) + " in the catalogue");
        const std::string shownName = host.text.Show(name);
        const char* file = host.lib.GetFileName(code);
        const std::string fileText = file ? file : "";
        const char* thumb = host.lib.GetThumbnail(code);
        const std::string thumbText = thumb ? thumb : "";
        const std::string url = host.text.Show(host.lib.GetURL(code));
        const int32_t favorite = host.lib.GetFavoriteFlag(code);
        std::printf("code       %s\nname       %s\nfile       %s\nthumbnail  %s\nurl        %s\nfavorite   %d\n",
                    CodeText(code).c_str(), shownName.c_str(), fileText.c_str(), thumbText.c_str(), url.c_str(),
                    favorite);
        return int{kExitOk};
    };
}

Action ParseRename(const Args& args, const Encoding& text) {
    ExpectCount(args, 2, "rename");
    const uint32_t code = ParseCode(args[0], "CODE");
    const std::string name = ToLibrary(text, args[1], "NAME");
    return [code, name](Host& host) {
        if (!host.lib.SetName(code, name.c_str())) return Refused("ad " + CodeText(code) + " was not renamed");
        std::printf("renamed %s\n", CodeText(code).c_str());
        return int{kExitOk};
    };
}

Action ParseFavorite(const Args& args, const Encoding&) {
    ExpectCount(args, 2, "favorite");
    const uint32_t code = ParseCode(args[0], "CODE");
    if (args[1] != "0" && args[1] != "1") throw UsageError("favorite: the flag must be 0 or 1, not '" + args[1] + "'");
    const int32_t flag = args[1] == "1";
    return [code, flag](Host& host) {
        if (!host.lib.SetFavoriteFlag(code, flag)) return Refused("the favourite flag of " + CodeText(code) + " was not set");
        std::printf("favorite %s %d\n", CodeText(code).c_str(), flag);
        return int{kExitOk};
    };
}

Action ParseRemove(const Args& args, const Encoding&) {
    ExpectCount(args, 1, "remove");
    const uint32_t code = ParseCode(args[0], "CODE");
    return [code](Host& host) {
        if (!host.lib.Remove(code)) return Refused("ad " + CodeText(code) + " was not removed");
        std::printf("removed %s\n", CodeText(code).c_str());
        return int{kExitOk};
    };
}

// ---- servers

Action ParseUpdate(const Args& args, const Encoding& text) {
    std::optional<std::string> user, version;
    bool list2 = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--user") user = ToLibrary(text, OptionValue(args, i), "the user id");
        else if (args[i] == "--version") version = ToLibrary(text, OptionValue(args, i), "the version");
        else if (args[i] == "--list2") list2 = true;
        else throw UsageError("update: unknown argument '" + args[i] + "'");
    }
    if (!user) throw UsageError("update needs --user ID");
    if (!version) throw UsageError("update needs --version V");
    return [user = *user, version = *version, list2](Host& host) {
        host.updated = true;
        return RunUpdate(host.lib, user, version, list2, host.serverResult);
    };
}

Action ParseNotify(const Args& args, const Encoding& text) {
    ExpectCount(args, 3, "notify");
    const uint32_t code = ParseCode(args[0], "CODE");
    const int32_t number = ParseInt32(args[1], "NUMBER");
    const std::string note = ToLibrary(text, args[2], "TEXT");
    return [code, number, note](Host& host) {
        const bool sent = host.lib.NotifyAVLS(code, number, note.c_str()) != 0;
        std::printf("%s\n", sent ? "notified" : "not notified");
        return sent ? int{kExitOk} : int{kExitRefused};
    };
}

const std::vector<Command> kCommands = {
    {"settings", "[--server-base URL] [--list URL] [--list2 URL] [--data URL] [--notify URL] [--show]",
     "write or show the server URLs the library reads",
     "Writes the given URLs into the registry's stand-in file and prints its path.\n"
     "  --server-base URL  all four from URL: getlist.php3, getlist2.php3, getdata.php3, log.php3\n"
     "                     (a query in URL stays after the script's name)\n"
     "  --list URL, --list2 URL, --data URL, --notify URL  one value each (overrides the base)\n"
     "  --show             print the values as the library will read them\n"
     "The file is HKEY_CURRENT_USER.ini in $FLB_REGISTRY_DIR, else $XDG_CONFIG_HOME/flyerbank,\n"
     "else ~/.config/flyerbank. The library is not loaded. URLs the library would refuse\n"
     "(not http://, no host, blanks) are refused here.",
     false, ParseSettings},
    {"folder", "DIR", "make DIR the ad folder (created when missing)",
     "Calls FLBSetFolder(DIR) and prints the folder. It holds only for this process.", true, ParseFolder},
    {"update", "--user ID --version V [--list2]", "refresh the catalogue from the ad server",
     "Starts FLBUpdate and waits for its completion. --list2 also sends the codes held.\n"
     "Ctrl-C asks the update to stop (a second Ctrl-C ends flb-host at once).\n"
     "Prints \"update done\", \"update failed (server result N)\", \"update failed\" or\n"
     "\"update cancelled\"; exit status 0, 3, 3 or 4.",
     true, ParseUpdate},
    {"order", "", "list the ads announced by the last update, in display order",
     "One line per ad: code, type, name, file, URL (tab-separated).", true, ParseOrder},
    {"pictures", "", "list the pictures held, newest first", "One line per ad: code, name, file (tab-separated).",
     true, ParsePictures},
    {"movies", "", "list the movies held, newest first", "One line per ad: code, name, file (tab-separated).",
     true, ParseMovies},
    {"show", "CODE", "show one ad", "Prints the ad's name, file, thumbnail, URL and favourite flag.", true,
     ParseShow},
    {"rename", "CODE NAME", "rename an ad",
     "NAME is taken in the terminal's encoding and handed to the library in code page 932.", true, ParseRename},
    {"favorite", "CODE 0|1", "clear or set an ad's favourite flag", "Favourites are kept when ads are pruned.",
     true, ParseFavorite},
    {"remove", "CODE", "delete an ad's file and record", "A movie's thumbnail goes with it.", true, ParseRemove},
    {"notify", "CODE NUMBER TEXT", "report a view of an ad to the log server",
     "Calls FLBNotifyAVLS; prints \"notified\" (exit 0) or \"not notified\" (exit 1).\n"
     "Run it after update in the same process: the user id is kept only there.",
     true, ParseNotify},
};

}  // namespace

const std::vector<Command>& AllCommands() { return kCommands; }

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

std::string ProgramHelp() {
    std::string text =
        "usage: flb-host [--library PATH] [--folder DIR] COMMAND [ARGS] [+ COMMAND [ARGS]]...\n"
        "\n"
        "Loads the Flyerbank library and drives it through its exports. Commands joined by a\n"
        "lone '+' run in one process and share what the library keeps in memory, such as the\n"
        "user id of an update, which notify needs:\n"
        "  flb-host --folder ads update --user u1 --version 1.0 + order + notify 1234 1 shown\n"
        "\n"
        "options:\n"
        "  --library PATH  the library (default: libflyerbank.so beside flb-host, or in the\n"
        "                  install's library folder, else $FLB_LIBRARY)\n"
        "  --folder DIR    the ad folder for all commands (default: the library's)\n"
        "  --help          this text; COMMAND --help describes one command\n"
        "\n"
        "commands:\n";
    for (const Command& c : kCommands) {
        std::string head = std::string("  ") + c.name;
        head.resize(std::max<size_t>(head.size() + 1, 12), ' ');
        text += head + c.summary + "\n";
    }
    text +=
        "\n"
        "Names and URLs are converted from code page 932 for the terminal ('?' where that fails);\n"
        "paths are shown as the file system has them. Codes are decimal, 0 to 4294967295.\n"
        "\n"
        "exit status: 0 done, 1 the library refused, 2 bad command line, 3 update failed,\n"
        "4 update cancelled, 5 the library cannot be loaded or lacks an export\n";
    return text;
}

std::string CommandHelp(const Command& c) {
    std::string text = std::string("usage: flb-host [OPTIONS] ") + c.name;
    if (*c.synopsis) text += std::string(" ") + c.synopsis;
    std::string summary = c.summary;
    summary[0] = static_cast<char>(summary[0] - 'a' + 'A');
    return text + "\n\n" + summary + ".\n" + c.details + "\n";
}

std::string JoinServerUrl(const std::string& base, const std::string& script) {
    const size_t query = base.find('?');
    std::string path = base.substr(0, query);
    if (path.empty() || path.back() != '/') path += '/';
    return path + script + (query == std::string::npos ? "" : base.substr(query));
}

std::string UrlProblem(const std::string& url) {
    const std::string quoted = "'" + url + "'";
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F) return "the URL " + quoted + " holds a blank or a control character";
    std::string scheme = url.substr(0, url.find("://"));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (url.find("://") == std::string::npos || scheme != "http")
        return "the URL " + quoted + " is not http:// (the only scheme the library serves)";
    const size_t host = scheme.size() + 3;
    const size_t end = url.find_first_of("/?#", host);
    const std::string authority = url.substr(host, end == std::string::npos ? std::string::npos : end - host);
    if (authority.empty() || authority[0] == ':' || authority.back() == '@')
        return "the URL " + quoted + " names no host";
    if (url.find('#') != std::string::npos) return "the URL " + quoted + " has a fragment, which no server sees";
    return "";
}

uint32_t ParseCode(const std::string& text, const char* what) {
    unsigned long long value = 0;
    bool ok = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9') ok = false;
        if (!ok) break;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT32_MAX) ok = false;
    }
    if (!ok) throw UsageError(std::string(what) + " must be a decimal number from 0 to 4294967295, not '" + text + "'");
    return static_cast<uint32_t>(value);
}

int32_t ParseInt32(const std::string& text, const char* what) {
    const bool negative = !text.empty() && text[0] == '-';
    long long value = 0;
    bool ok = text.size() > (negative ? 1u : 0u);
    for (size_t i = negative ? 1 : 0; ok && i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') ok = false;
        else value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) ok = false;
    }
    if (ok && !negative && value > INT32_MAX) ok = false;
    if (!ok)
        throw UsageError(std::string(what) + " must be a decimal number from -2147483648 to 2147483647, not '" + text + "'");
    return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace host
