#include "PgEngine.h"

#include "Connection.h"
#include "PgConnectionString.h"
#include "PgStatement.h"
#include "TextRules.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstring>

namespace {

void ClearResult(pg_result* AResult) { PQclear(AResult); }

// libpq prints notices (a WARNING, a NOTICE) on standard error by default; the programs' own
// output is theirs alone.
void IgnoreNotice(void*, const char*) {}

// libpq's messages end with a line end and may run over several lines ("\n\tThis probably means
// ..."): one line, without the severity the server puts first.
std::string OneLine(const char* AText) {
    std::string Result;
    bool Blank = false;
    for (const char* P = AText != nullptr ? AText : ""; *P != '\0'; ++P) {
        const bool IsBlank = *P == '\n' || *P == '\r' || *P == '\t' || *P == ' ';
        if (IsBlank) {
            Blank = !Result.empty();
            continue;
        }
        if (Blank)
            Result += ' ';
        Blank = false;
        Result += *P;
    }
    for (const std::string_view Severity : {"ERROR: ", "FATAL: ", "PANIC: "})
        if (Result.starts_with(Severity))
            Result.erase(0, Severity.size());
    return Result;
}

bool StateIs(const char* AState, const char* AWhat) {
    return AState != nullptr && std::strncmp(AState, AWhat, std::strlen(AWhat)) == 0;
}

// What a SQLSTATE means for the work after it.
TDbFailure FailureOf(const char* AState) {
    // unique_violation, serialization_failure, deadlock_detected: another writer got there at
    // the same moment.
    if (StateIs(AState, "23505") || StateIs(AState, "40001") || StateIs(AState, "40P01"))
        return TDbFailure::Conflict;
    // connection_exception; admin_shutdown, crash_shutdown, cannot_connect_now.
    if (StateIs(AState, "08") || StateIs(AState, "57P01") || StateIs(AState, "57P02") || StateIs(AState, "57P03"))
        return TDbFailure::Disconnected;
    // insufficient_resources (disk full, out of memory), system errors, internal errors (damaged
    // data), a read-only server, no right to write: every further statement fails alike.
    if (StateIs(AState, "53") || StateIs(AState, "58") || StateIs(AState, "XX") || StateIs(AState, "25006") ||
        StateIs(AState, "42501"))
        return TDbFailure::Unusable;
    return TDbFailure::Statement;
}

// The text with the server's numbered marks ($1, $2, ...) in place of the `:Name` marks.
std::string NumberedText(const std::string& ASQL, const TSqlParameters& AParameters) {
    std::string Result;
    Result.reserve(ASQL.size());
    std::size_t From = 0;
    for (const TSqlParameters::TMark& Mark : AParameters.Marks) {
        Result.append(ASQL, From, Mark.Place - From);
        Result += '$';
        Result += std::to_string(Mark.Parameter + 1);
        From = Mark.Place + Mark.Length;
    }
    Result.append(ASQL, From, std::string::npos);
    return Result;
}

} // namespace

void UsePostgreSQL() { SetServerEngine(&TPgEngine::Open); }

int PgSqlState(const char* AState) {
    if (AState == nullptr || std::strlen(AState) != 5)
        return 0;
    int Code = 0;
    for (int I = 0; I < 5; ++I) {
        const char C = AState[I];
        int Digit = 0;
        if (C >= '0' && C <= '9')
            Digit = C - '0';
        else if (C >= 'A' && C <= 'Z')
            Digit = C - 'A' + 10;
        else
            return 0;
        Code = Code * 36 + Digit;
    }
    return Code;
}

std::unique_ptr<TDbEngine> TPgEngine::Open(const std::string& AConnectionString, TConnectMode AMode) {
    const TPgConnectInfo Info = ParsePgConnectionString(AConnectionString);
    const std::string Cannot = "Cannot open database " + Quoted(PgDisplayName(Info)) + ": ";
    if (!Info.Problem.empty())
        throw TDatabaseError(Cannot + Info.Problem, 0, TDbFailure::Unusable);
    if (AMode == TConnectMode::ShareDenyNone)
        throw TDatabaseError(Cannot + "a master catalogue is a file (SQLite or Access); a PostgreSQL database can "
                                      "only be the local song database",
                             0, TDbFailure::Unusable);

    // Defaults first: the string's own values come later and win. A server that stops answering
    // (a cable pulled) is given up after about a minute instead of the system's two hours.
    std::vector<std::pair<std::string, std::string>> Params = {
        {"connect_timeout", "10"},     {"keepalives_idle", "30"},    {"keepalives_interval", "10"},
        {"keepalives_count", "3"},     {"tcp_user_timeout", "60000"}, {"fallback_application_name", "corvena"}};
    Params.insert(Params.end(), Info.Params.begin(), Info.Params.end());
    // Every text of the catalogue is UTF-8.
    Params.emplace_back("client_encoding", "UTF8");
    std::vector<const char*> Keywords, Values;
    for (const auto& [Keyword, Value] : Params) {
        Keywords.push_back(Keyword.c_str());
        Values.push_back(Value.c_str());
    }
    Keywords.push_back(nullptr);
    Values.push_back(nullptr);

    pg_conn* Connection = PQconnectdbParams(Keywords.data(), Values.data(), Info.Expand ? 1 : 0);
    if (Connection == nullptr)
        throw TDatabaseError(Cannot + "out of memory", 0, TDbFailure::Unusable);
    if (PQstatus(Connection) != CONNECTION_OK) {
        // libpq's message names the server it tried and the user, never a password.
        const std::string Message = OneLine(PQerrorMessage(Connection));
        PQfinish(Connection);
        throw TDatabaseError(Cannot + Message, 0, TDbFailure::Unusable);
    }
    std::unique_ptr<TPgEngine> Engine(new TPgEngine(Connection));
    if (PQenterPipelineMode(Connection) != 1)
        throw TDatabaseError(Cannot + OneLine(PQerrorMessage(Connection)), 0, TDbFailure::Unusable);
    return Engine;
}

TPgEngine::TPgEngine(pg_conn* AConnection)
    : FConnection(AConnection),
      FName(PgDisplayName(PQhost(AConnection) ? PQhost(AConnection) : "", PQport(AConnection) ? PQport(AConnection) : "",
                          PQdb(AConnection) ? PQdb(AConnection) : "")) {
    PQsetNoticeProcessor(FConnection, &IgnoreNotice, nullptr);
}

TPgEngine::~TPgEngine() { PQfinish(FConnection); }

std::uint64_t TPgEngine::RoundTrips() const {
    const std::lock_guard Lock(FLock);
    return FRoundTrips;
}


void TPgEngine::RequireConnection() {
    if (FLost || PQstatus(FConnection) != CONNECTION_OK)
        ThrowLost("the connection to the server was lost");
}

void TPgEngine::ThrowLost(const std::string& AWhat) {
    // The server has undone what was not committed; nothing sent ahead will be answered.
    FLost = true;
    FPending.clear();
    FInTransaction = false;
    FAborted = false;
    FSavepoints.clear();
    throw TDatabaseError(AWhat, 0, TDbFailure::Disconnected);
}

TDatabaseError TPgEngine::ResultError(pg_result* AResult) const {
    const char* State = PQresultErrorField(AResult, PG_DIAG_SQLSTATE);
    const char* Primary = PQresultErrorField(AResult, PG_DIAG_MESSAGE_PRIMARY);
    const char* Detail = PQresultErrorField(AResult, PG_DIAG_MESSAGE_DETAIL);
    std::string Text = Primary != nullptr ? OneLine(Primary) : OneLine(PQresultErrorMessage(AResult));
    if (Detail != nullptr)
        Text += " (" + OneLine(Detail) + ")";
    if (Text.empty())
        Text = OneLine(PQerrorMessage(FConnection));
    TDbFailure Failure = FailureOf(State);
    if (PQstatus(FConnection) != CONNECTION_OK)
        Failure = TDbFailure::Disconnected;
    return TDatabaseError(Text, PgSqlState(State), Failure);
}

pg_result* TPgEngine::NextResult() {
    pg_result* Result = PQgetResult(FConnection);
    if (Result == nullptr) {
        if (PQstatus(FConnection) != CONNECTION_OK)
            ThrowLost(OneLine(PQerrorMessage(FConnection)));
        ThrowLost("the server's answers are out of step with the statements sent");
    }
    if (PQresultStatus(Result) == PGRES_FATAL_ERROR) {
        const TDatabaseError Error = ResultError(Result);
        if (Error.ConnectionLost()) {
            PQclear(Result);
            ThrowLost(Error.what());
        }
    }
    return Result;
}

void TPgEngine::SendAhead(const std::string& ASQL, TPending::TKind AKind) {
    if (PQsendQueryParams(FConnection, ASQL.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) != 1)
        ThrowLost(OneLine(PQerrorMessage(FConnection)));
    FPending.push_back({AKind, ASQL, nullptr});
    // A rollback frees the rows it held now, not when the next statement comes.
    if (AKind == TPending::TKind::Quiet) {
        if (PQpipelineSync(FConnection) != 1)
            ThrowLost(OneLine(PQerrorMessage(FConnection)));
        FPending.push_back({TPending::TKind::Sync, {}, nullptr});
    }
}

void TPgEngine::ReadPending(std::unique_ptr<TDatabaseError>& AFailure) {
    while (!FPending.empty()) {
        TPending Item = std::move(FPending.front());
        FPending.pop_front();
        const TResult Result(NextResult(), &ClearResult);
        const ExecStatusType Status = PQresultStatus(Result.get());
        if (Item.Kind == TPending::TKind::Sync) {
            if (Status != PGRES_PIPELINE_SYNC)
                ThrowLost("the server's answers are out of step with the statements sent");
            continue;
        }
        // Each command's answers end with a null.
        while (pg_result* More = PQgetResult(FConnection))
            PQclear(More);
        const bool Failed = Status == PGRES_FATAL_ERROR || Status == PGRES_PIPELINE_ABORTED;
        const auto Why = [&] {
            return Status == PGRES_FATAL_ERROR ? ResultError(Result.get())
                                               : TDatabaseError("not run, as an earlier statement failed");
        };
        switch (Item.Kind) {
        case TPending::TKind::Parse:
            Item.Prepared->State = Failed ? TPrepared::TState::Failed : TPrepared::TState::Ready;
            if (Failed)
                Item.Prepared->Error = Why();
            break;
        case TPending::TKind::Command:
            if (Failed && !AFailure) {
                const TDatabaseError Error = Why();
                AFailure = std::make_unique<TDatabaseError>(Quoted(Item.Text) + " failed: " + Error.what(),
                                                            Error.Code(), Error.Failure());
            }
            break;
        case TPending::TKind::Quiet:
        case TPending::TKind::Sync:
            break;
        }
    }
}

void TPgEngine::TakeTransactionState() {
    switch (PQtransactionStatus(FConnection)) {
    case PQTRANS_IDLE:
        FInTransaction = false;
        FAborted = false;
        FSavepoints.clear();
        break;
    case PQTRANS_INTRANS:
        FInTransaction = true;
        FAborted = false;
        break;
    case PQTRANS_INERROR:
        FInTransaction = true;
        FAborted = true;
        break;
    default:
        break;
    }
    if (!FAborted)
        FAbortedBy.clear();
}

TPgEngine::TResult TPgEngine::Finish(const std::string& AWhat, bool AHasOwnResult) {
    if (PQpipelineSync(FConnection) != 1)
        ThrowLost(OneLine(PQerrorMessage(FConnection)));
    ++FRoundTrips;
    std::unique_ptr<TDatabaseError> Failure;
    ReadPending(Failure);
    TResult Own(nullptr, &ClearResult);
    if (AHasOwnResult) {
        Own.reset(NextResult());
        while (pg_result* More = PQgetResult(FConnection))
            PQclear(More);
    }
    {
        const TResult Sync(NextResult(), &ClearResult);
        if (PQresultStatus(Sync.get()) != PGRES_PIPELINE_SYNC)
            ThrowLost("the server's answers are out of step with the statements sent");
    }
    TakeTransactionState();
    if (!Failure && Own) {
        const ExecStatusType Status = PQresultStatus(Own.get());
        if (Status == PGRES_FATAL_ERROR)
            Failure = std::make_unique<TDatabaseError>(ResultError(Own.get()));
        else if (Status == PGRES_PIPELINE_ABORTED)
            Failure = std::make_unique<TDatabaseError>(AWhat + " was not run, as an earlier statement failed");
    }
    if (Failure) {
        // The commit of a spoilt transaction says what spoilt it.
        if (FAborted && FAbortedBy.empty()) {
            FAbortedBy = Failure->what();
            FAbortedCode = Failure->Code();
            FAbortedFailure = Failure->Failure();
        }
        throw *Failure;
    }
    return Own;
}

TPgEngine::TResult TPgEngine::Call(const std::string& ASQL) {
    RequireConnection();
    if (PQsendQueryParams(FConnection, ASQL.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) != 1)
        ThrowLost(OneLine(PQerrorMessage(FConnection)));
    try {
        return Finish(Quoted(ASQL), true);
    } catch (const TDatabaseError& Error) {
        throw StatementError(Error.what(), FName, ASQL, Error.Code(), Error.Failure());
    }
}

std::unique_ptr<TDbStatement> TPgEngine::Prepare(const std::string& ASQL, const TSqlParameters& AParameters) {
    if (TrimControls(ASQL).empty())
        throw TDatabaseError("The statement is empty");
    std::string Text = NumberedText(ASQL, AParameters);
    const std::lock_guard Lock(FLock);
    RequireConnection();
    std::shared_ptr<TPrepared>& Prepared = FPrepared[Text];
    if (!Prepared) {
        Prepared = std::make_shared<TPrepared>();
        Prepared->Name = "corvena_" + std::to_string(++FNextStatement);
        Prepared->Text = std::move(Text);
        Prepared->Parameters = static_cast<int>(AParameters.Names.size());
        Prepared->State = TPrepared::TState::Failed;
    }
    if (Prepared->State == TPrepared::TState::Failed) {
        // Compiled on the server ahead of its first run, in a section of its own: a text the
        // server refuses fails only the statements of that text.
        if (PQsendPrepare(FConnection, Prepared->Name.c_str(), Prepared->Text.c_str(), Prepared->Parameters,
                          nullptr) != 1 ||
            PQpipelineSync(FConnection) != 1)
            ThrowLost(OneLine(PQerrorMessage(FConnection)));
        FPending.push_back({TPending::TKind::Parse, {}, Prepared});
        FPending.push_back({TPending::TKind::Sync, {}, nullptr});
        Prepared->State = TPrepared::TState::Sent;
    }
    return std::make_unique<TPgStatement>(*this, Prepared);
}

TPgEngine::TResult TPgEngine::RunPrepared(TPrepared& APrepared, const std::vector<const char*>& AValues) {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    if (APrepared.State == TPrepared::TState::Failed) {
        // Refused before: the schema may have been mended since.
        if (PQsendPrepare(FConnection, APrepared.Name.c_str(), APrepared.Text.c_str(), APrepared.Parameters,
                          nullptr) != 1 ||
            PQpipelineSync(FConnection) != 1)
            ThrowLost(OneLine(PQerrorMessage(FConnection)));
        FPending.push_back({TPending::TKind::Parse, {}, FPrepared[APrepared.Text]});
        FPending.push_back({TPending::TKind::Sync, {}, nullptr});
        APrepared.State = TPrepared::TState::Sent;
    }
    if (PQsendQueryPrepared(FConnection, APrepared.Name.c_str(), static_cast<int>(AValues.size()), AValues.data(),
                            nullptr, nullptr, 0) != 1)
        ThrowLost(OneLine(PQerrorMessage(FConnection)));
    try {
        return Finish("the statement", true);
    } catch (const TDatabaseError&) {
        // The server's reason for refusing the text, rather than "no such statement".
        if (APrepared.State == TPrepared::TState::Failed)
            throw APrepared.Error;
        throw;
    }
}

void TPgEngine::Execute(const std::string& ASQL) {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    try {
        // The simple protocol (several statements in one text) is not open to a pipeline.
        if (!FPending.empty())
            Finish("the statements sent ahead", false);
        if (PQexitPipelineMode(FConnection) != 1)
            throw TDatabaseError(OneLine(PQerrorMessage(FConnection)));
        const TResult Result(PQexec(FConnection, ASQL.c_str()), &ClearResult);
        ++FRoundTrips;
        if (PQenterPipelineMode(FConnection) != 1)
            ThrowLost(OneLine(PQerrorMessage(FConnection)));
        TakeTransactionState();
        const ExecStatusType Status = Result ? PQresultStatus(Result.get()) : PGRES_FATAL_ERROR;
        if (Status == PGRES_FATAL_ERROR || Status == PGRES_BAD_RESPONSE || Status == PGRES_NONFATAL_ERROR) {
            const TDatabaseError Error =
                Result ? ResultError(Result.get()) : TDatabaseError(OneLine(PQerrorMessage(FConnection)));
            if (Error.ConnectionLost())
                ThrowLost(Error.what());
            throw Error;
        }
    } catch (const TDatabaseError& Error) {
        throw StatementError(Error.what(), FName, ASQL, Error.Code(), Error.Failure());
    }
}

std::int64_t TPgEngine::LastInsertId() {
    const std::lock_guard Lock(FLock);
    const TResult Result = Call("select lastval()");
    std::int64_t Value = 0;
    if (PQntuples(Result.get()) > 0) {
        const char* Text = PQgetvalue(Result.get(), 0, 0);
        std::from_chars(Text, Text + std::strlen(Text), Value);
    }
    return Value;
}

void TPgEngine::Begin() {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    if (FInTransaction)
        throw StatementError("cannot start a transaction within a transaction", FName, "BEGIN");
    SendAhead("BEGIN", TPending::TKind::Command);
    FInTransaction = true;
    FAborted = false;
    FAbortedBy.clear();
    FSavepoints.clear();
}

void TPgEngine::Commit() {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    if (!FInTransaction)
        throw StatementError("cannot commit: no transaction is active", FName, "COMMIT");
    const auto Spoilt = [this](const std::string& ACause, int ACode, TDbFailure AFailure) {
        return StatementError("the transaction was undone, as a statement in it failed: " + ACause, FName, "COMMIT",
                              ACode, AFailure);
    };
    if (FAborted) {
        const TDatabaseError Error = Spoilt(FAbortedBy, FAbortedCode, FAbortedFailure);
        SendAhead("ROLLBACK", TPending::TKind::Quiet);
        FInTransaction = false;
        FAborted = false;
        FSavepoints.clear();
        throw Error;
    }
    const TResult Result = Call("COMMIT");
    FSavepoints.clear();
    FInTransaction = false;
    // The server answers ROLLBACK to the commit of a transaction a failure had spoilt.
    if (std::strcmp(PQcmdStatus(Result.get()), "COMMIT") != 0)
        throw Spoilt(FAbortedBy.empty() ? std::string("the server rolled it back") : FAbortedBy, FAbortedCode,
                     FAbortedFailure);
}

void TPgEngine::Rollback() noexcept {
    try {
        const std::lock_guard Lock(FLock);
        if (FLost || !FInTransaction)
            return;
        FInTransaction = false;
        FAborted = false;
        FSavepoints.clear();
        SendAhead("ROLLBACK", TPending::TKind::Quiet);
    } catch (...) {
    }
}

bool TPgEngine::InTransaction() {
    const std::lock_guard Lock(FLock);
    return FInTransaction && !FLost;
}

void TPgEngine::Savepoint(const std::string& AName) {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    const bool Began = !FInTransaction;
    if (Began) {
        SendAhead("BEGIN", TPending::TKind::Command);
        FInTransaction = true;
        FAborted = false;
        FAbortedBy.clear();
    }
    SendAhead("SAVEPOINT " + QuotedIdentifier(AName), TPending::TKind::Command);
    FSavepoints.push_back({AName, Began});
}

void TPgEngine::ReleaseSavepoint(const std::string& AName) {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    const std::string Release = "RELEASE SAVEPOINT " + QuotedIdentifier(AName);
    auto Mark = FSavepoints.rbegin();
    while (Mark != FSavepoints.rend() && Mark->Name != AName)
        ++Mark;
    if (Mark == FSavepoints.rend())
        throw StatementError("no such savepoint", FName, Release);
    if (FAborted)
        throw StatementError("the savepoint's work was undone, as a statement in it failed: " + FAbortedBy, FName,
                             Release, FAbortedCode, FAbortedFailure);
    const std::size_t At = static_cast<std::size_t>(FSavepoints.rend() - Mark) - 1;
    if (FSavepoints[At].BeganTransaction) {
        // The savepoint that began the transaction commits it.
        const TResult Result = Call("COMMIT");
        FSavepoints.clear();
        FInTransaction = false;
        if (std::strcmp(PQcmdStatus(Result.get()), "COMMIT") != 0)
            throw StatementError("the savepoint's work was undone by the server", FName, "COMMIT");
        return;
    }
    SendAhead(Release, TPending::TKind::Command);
    FSavepoints.resize(At);
}

void TPgEngine::RollbackToSavepoint(const std::string& AName) {
    const std::lock_guard Lock(FLock);
    RequireConnection();
    auto Mark = FSavepoints.rbegin();
    while (Mark != FSavepoints.rend() && Mark->Name != AName)
        ++Mark;
    if (Mark == FSavepoints.rend())
        throw StatementError("no such savepoint", FName, "ROLLBACK TO SAVEPOINT " + QuotedIdentifier(AName));
    const std::size_t At = static_cast<std::size_t>(FSavepoints.rend() - Mark) - 1;
    // Undoes a failed statement's spoiling too: the transaction goes on.
    SendAhead("ROLLBACK TO SAVEPOINT " + QuotedIdentifier(AName), TPending::TKind::Command);
    FAborted = false;
    FAbortedBy.clear();
    if (FSavepoints[At].BeganTransaction) {
        Call("COMMIT");
        FSavepoints.clear();
        FInTransaction = false;
        return;
    }
    SendAhead("RELEASE SAVEPOINT " + QuotedIdentifier(AName), TPending::TKind::Command);
    FSavepoints.resize(At);
}
