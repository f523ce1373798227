#include "PgConnectionString.h"

#include "ConnectionString.h"
#include "TextRules.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

// libpq's connection keywords (PostgreSQL 15).
constexpr std::array<std::string_view, 37> LibpqKeywords = {
    "host", "hostaddr", "port", "dbname", "user", "password", "passfile", "channel_binding",
    "connect_timeout", "client_encoding", "options", "application_name", "fallback_application_name",
    "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
    "sslmode", "sslcompression", "sslcert", "sslkey", "sslpassword", "sslrootcert", "sslcrl", "sslcrldir",
    "sslsni", "requirepeer", "ssl_min_protocol_version", "ssl_max_protocol_version", "gssencmode",
    "krbsrvname", "gsslib", "service", "target_session_attrs", "replication", "load_balance_hosts"};

// Secrets that would be written in a shared, readable file: libpq reads them from its own files.
bool IsSecret(std::string_view AKeyword) { return AKeyword == "password" || AKeyword == "sslpassword"; }

constexpr const char* NoPassword =
    "the connection string holds a password; passwords are read only from PGPASSWORD, ~/.pgpass or a "
    "service file (PGSERVICE), never from a connection string";

bool StartsWithNoCase(std::string_view AText, std::string_view APrefix) {
    return AText.size() >= APrefix.size() && SameText(AText.substr(0, APrefix.size()), APrefix);
}

std::size_t SchemeLength(std::string_view AText) {
    for (const std::string_view Scheme : {std::string_view("postgresql://"), std::string_view("postgres://")})
        if (StartsWithNoCase(AText, Scheme))
            return Scheme.size();
    return 0;
}

// -------------------------------------------------------------------------------------------
// libpq's key/value form: keyword = value, separated by blanks; a value in single quotes may hold
// blanks; a backslash takes the next character as it is.

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r' || C == '\f' || C == '\v'; }

std::optional<std::vector<std::pair<std::string, std::string>>> ReadKeyValues(std::string_view AText) {
    std::vector<std::pair<std::string, std::string>> Pairs;
    std::size_t I = 0;
    const auto SkipBlanks = [&] {
        while (I < AText.size() && IsBlank(AText[I]))
            ++I;
    };
    for (;;) {
        SkipBlanks();
        if (I >= AText.size())
            break;
        const std::size_t Start = I;
        while (I < AText.size() && AText[I] != '=' && !IsBlank(AText[I]))
            ++I;
        std::string Keyword(AText.substr(Start, I - Start));
        SkipBlanks();
        if (Keyword.empty() || I >= AText.size() || AText[I] != '=')
            return std::nullopt;
        ++I;
        SkipBlanks();
        std::string Value;
        if (I < AText.size() && AText[I] == '\'') {
            ++I;
            bool Closed = false;
            while (I < AText.size()) {
                const char C = AText[I++];
                if (C == '\\' && I < AText.size())
                    Value += AText[I++];
                else if (C == '\'') {
                    Closed = true;
                    break;
                } else
                    Value += C;
            }
            if (!Closed)
                return std::nullopt;
        } else {
            while (I < AText.size() && !IsBlank(AText[I])) {
                const char C = AText[I++];
                if (C == '\\' && I < AText.size())
                    Value += AText[I++];
                else
                    Value += C;
            }
        }
        Pairs.emplace_back(std::move(Keyword), std::move(Value));
    }
    if (Pairs.empty())
        return std::nullopt;
    return Pairs;
}

bool AllLibpqKeywords(const std::vector<std::pair<std::string, std::string>>& APairs) {
    return std::all_of(APairs.begin(), APairs.end(), [](const auto& APair) {
        return std::find(LibpqKeywords.begin(), LibpqKeywords.end(), APair.first) != LibpqKeywords.end();
    });
}

// -------------------------------------------------------------------------------------------
// URIs: scheme://[user[:password]@][host[:port][,...]][/database][?keyword=value&...], parts
// percent-encoded.

std::string PercentDecoded(std::string_view AText) {
    const auto Hex = [](char C) -> int {
        if (C >= '0' && C <= '9')
            return C - '0';
        if (C >= 'a' && C <= 'f')
            return C - 'a' + 10;
        if (C >= 'A' && C <= 'F')
            return C - 'A' + 10;
        return -1;
    };
    std::string Result;
    for (std::size_t I = 0; I < AText.size(); ++I) {
        if (AText[I] == '%' && I + 2 < AText.size() && Hex(AText[I + 1]) >= 0 && Hex(AText[I + 2]) >= 0) {
            Result += static_cast<char>(Hex(AText[I + 1]) * 16 + Hex(AText[I + 2]));
            I += 2;
            continue;
        }
        Result += AText[I];
    }
    return Result;
}

// What a keyword of either form tells of the server and database (for the names shown); a
// password refuses the string.
void TakeKeyword(const std::string& AKeyword, const std::string& AValue, TPgConnectInfo& AInfo) {
    if (IsSecret(AKeyword))
        AInfo.Problem = NoPassword;
    else if (AKeyword == "host" || (AKeyword == "hostaddr" && AInfo.Hosts.empty()))
        AInfo.Hosts = AValue;
    else if (AKeyword == "port")
        AInfo.Ports = AValue;
    else if (AKeyword == "dbname")
        AInfo.Database = AValue;
    else if (AKeyword == "service")
        AInfo.Service = AValue;
}

void ReadUri(std::string_view AText, TPgConnectInfo& AInfo) {
    std::string_view Rest = AText.substr(SchemeLength(AText));
    std::string_view Query;
    if (const auto Mark = Rest.find('?'); Mark != std::string_view::npos) {
        Query = Rest.substr(Mark + 1);
        Rest = Rest.substr(0, Mark);
    }
    std::string_view Authority = Rest;
    if (const auto Slash = Rest.find('/'); Slash != std::string_view::npos) {
        Authority = Rest.substr(0, Slash);
        AInfo.Database = PercentDecoded(Rest.substr(Slash + 1));
    }
    if (const auto At = Authority.rfind('@'); At != std::string_view::npos) {
        if (Authority.substr(0, At).find(':') != std::string_view::npos)
            AInfo.Problem = NoPassword;
        Authority = Authority.substr(At + 1);
    }
    // Hosts, each with its port: host:port,host:port; an IPv6 address in brackets.
    std::string Hosts, Ports;
    bool AnyPort = false;
    for (bool First = true; !Authority.empty() || First; First = false) {
        const auto Comma = Authority.find(',');
        std::string_view One = Authority.substr(0, Comma);
        Authority = Comma == std::string_view::npos ? std::string_view() : Authority.substr(Comma + 1);
        std::string_view Port;
        const auto Close = One.find(']');
        const auto Colon = One.find(':', Close == std::string_view::npos ? 0 : Close);
        if (Colon != std::string_view::npos) {
            Port = One.substr(Colon + 1);
            One = One.substr(0, Colon);
        }
        if (!First) {
            Hosts += ',';
            Ports += ',';
        }
        Hosts += PercentDecoded(One);
        Ports += Port;
        AnyPort = AnyPort || !Port.empty();
    }
    AInfo.Hosts = Hosts;
    AInfo.Ports = AnyPort ? Ports : std::string();
    while (!Query.empty()) {
        const auto Amp = Query.find('&');
        const std::string_view Pair = Query.substr(0, Amp);
        Query = Amp == std::string_view::npos ? std::string_view() : Query.substr(Amp + 1);
        const auto Equals = Pair.find('=');
        if (Equals == std::string_view::npos) {
            AInfo.Problem = "the URI's options are not keyword=value pairs";
            continue;
        }
        TakeKeyword(PercentDecoded(Pair.substr(0, Equals)), PercentDecoded(Pair.substr(Equals + 1)), AInfo);
    }
    // libpq reads the URI itself, scheme as it expects it.
    const std::size_t Scheme = SchemeLength(AText);
    std::string Uri = "postgresql://";
    Uri += AText.substr(Scheme);
    AInfo.Params.emplace_back("dbname", std::move(Uri));
    AInfo.Expand = true;
}

void ReadKeyValueText(std::string_view AText, TPgConnectInfo& AInfo) {
    const auto Pairs = ReadKeyValues(AText);
    if (!Pairs) {
        AInfo.Problem = "the connection string is not keyword=value pairs";
        return;
    }
    for (const auto& [Keyword, Value] : *Pairs)
        TakeKeyword(Keyword, Value, AInfo);
    AInfo.Params.emplace_back("dbname", std::string(AText));
    AInfo.Expand = true;
}

// -------------------------------------------------------------------------------------------
// The host's own style: Provider=PostgreSQL;Host=...;Database=...;User ID=...

// Keys compared without regard to letter case, blanks and underscores ("User ID", "UserId").
std::string KeyForm(std::string_view AKey) {
    std::string Result;
    for (const char C : AKey)
        if (C != ' ' && C != '_')
            Result += LowerAscii(C);
    return Result;
}

struct THostKey {
    const char* Key; // in KeyForm
    const char* Keyword;
};

constexpr THostKey HostKeys[] = {
    {"host", "host"},         {"server", "host"},
    {"datasource", "host"},   {"address", "host"},
    {"port", "port"},         {"database", "dbname"},
    {"initialcatalog", "dbname"}, {"userid", "user"},
    {"user", "user"},         {"username", "user"},
    {"uid", "user"},          {"sslmode", "sslmode"},
    {"rootcertificate", "sslrootcert"}, {"sslrootcert", "sslrootcert"},
    {"sslcertificate", "sslcert"},      {"sslcert", "sslcert"},
    {"sslkey", "sslkey"},     {"timeout", "connect_timeout"},
    {"connecttimeout", "connect_timeout"}, {"connectiontimeout", "connect_timeout"},
    {"applicationname", "application_name"}, {"service", "service"},
};

// The host's SSL Mode spellings (Require, VerifyFull, ...) as libpq's.
std::optional<std::string> SslMode(std::string_view AValue) {
    const std::string Form = KeyForm(AValue);
    std::string Bare;
    for (const char C : Form)
        if (C != '-')
            Bare += C;
    for (const char* Mode : {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"}) {
        std::string ModeBare;
        for (const char* P = Mode; *P != '\0'; ++P)
            if (*P != '-')
                ModeBare += *P;
        if (Bare == ModeBare)
            return std::string(Mode);
    }
    return std::nullopt;
}

void ReadHostStyle(std::string_view AText, TPgConnectInfo& AInfo) {
    for (const auto& [Key, Value] : ConnectionStringPairs(AText)) {
        const std::string Form = KeyForm(Key);
        if (Form == "provider" || Form == "persistsecurityinfo")
            continue;
        if (Form == "password" || Form == "pwd" || Form == "sslpassword") {
            AInfo.Problem = NoPassword;
            continue;
        }
        const auto Known = std::find_if(std::begin(HostKeys), std::end(HostKeys),
                                        [&Form](const THostKey& AKey) { return Form == AKey.Key; });
        if (Known == std::end(HostKeys)) {
            // The key is named: it is no secret (a password's key is refused above).
            if (AInfo.Problem.empty())
                AInfo.Problem = "the connection string has the key " + Quoted(Key) +
                                ", which is not one of Host, Port, Database, User ID, SSL Mode, Root Certificate, "
                                "SSL Certificate, SSL Key, Timeout, Application Name, Service";
            continue;
        }
        std::string Keyword = Known->Keyword;
        std::string Given = Value;
        if (Keyword == "sslmode") {
            const auto Mode = SslMode(Value);
            if (!Mode) {
                if (AInfo.Problem.empty())
                    AInfo.Problem = "SSL Mode " + Quoted(Value) +
                                    " is not one of Disable, Allow, Prefer, Require, VerifyCA, VerifyFull";
                continue;
            }
            Given = *Mode;
        }
        if (Keyword == "host")
            AInfo.Hosts = Given;
        else if (Keyword == "port")
            AInfo.Ports = Given;
        else if (Keyword == "dbname")
            AInfo.Database = Given;
        else if (Keyword == "service")
            AInfo.Service = Given;
        AInfo.Params.emplace_back(std::move(Keyword), std::move(Given));
    }
}

bool IsHostStyle(std::string_view AText) {
    return StartsWithNoCase(TrimControls(ConnectionStringValue(AText, "Provider")), "PostgreSQL");
}

// A URI's own characters percent-encoded, for the name shown; text beyond ASCII stays readable.
std::string UriPart(std::string_view AText, std::string_view AAlsoPlain) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string Result;
    for (const char C : AText) {
        const auto Byte = static_cast<unsigned char>(C);
        const bool Plain = (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' ||
                           C == '.' || C == '_' || C == '~' || Byte >= 0x80 ||
                           AAlsoPlain.find(C) != std::string_view::npos;
        if (Plain) {
            Result += C;
        } else {
            Result += '%';
            Result += Digits[Byte >> 4];
            Result += Digits[Byte & 15];
        }
    }
    return Result;
}

} // namespace

bool IsPgConnectionString(std::string_view AText) {
    const std::string_view Text = TrimControls(AText);
    if (SchemeLength(Text) > 0)
        return true;
    if (IsHostStyle(Text))
        return true;
    // A file name, a Jet string (Provider=...;Data Source=...) or a stray '=' is no key/value text.
    const auto Pairs = ReadKeyValues(Text);
    return Pairs && AllLibpqKeywords(*Pairs);
}

TPgConnectInfo ParsePgConnectionString(std::string_view AText) {
    TPgConnectInfo Info;
    const std::string_view Text = TrimControls(AText);
    if (SchemeLength(Text) > 0)
        ReadUri(Text, Info);
    else if (IsHostStyle(Text))
        ReadHostStyle(Text, Info);
    else
        ReadKeyValueText(Text, Info);
    return Info;
}

std::string PgDisplayName(std::string_view AHosts, std::string_view APorts, std::string_view ADatabase,
                          std::string_view AService) {
    // Each host with its port, as a URI pairs them.
    std::string Authority;
    std::string_view Hosts = AHosts, Ports = APorts;
    bool First = true;
    while (!Hosts.empty() || !Ports.empty() || First) {
        const auto HostEnd = Hosts.find(',');
        const auto PortEnd = Ports.find(',');
        const std::string_view Host = Hosts.substr(0, HostEnd);
        const std::string_view Port = Ports.substr(0, PortEnd);
        Hosts = HostEnd == std::string_view::npos ? std::string_view() : Hosts.substr(HostEnd + 1);
        Ports = PortEnd == std::string_view::npos ? std::string_view() : Ports.substr(PortEnd + 1);
        if (!First)
            Authority += ',';
        First = false;
        Authority += UriPart(Host, "[]:");
        if (!Port.empty()) {
            // Appended in two steps: ":" + text makes GCC 12 warn falsely.
            Authority += ':';
            Authority += UriPart(Port, "");
        }
        if (Hosts.empty() && Ports.empty())
            break;
    }
    std::string Name = "postgresql://" + Authority + "/" + UriPart(ADatabase, "");
    if (!AService.empty())
        Name += "?service=" + UriPart(AService, "");
    return Name;
}

std::string PgDisplayName(const TPgConnectInfo& AInfo) {
    return PgDisplayName(AInfo.Hosts, AInfo.Ports, AInfo.Database, AInfo.Service);
}
