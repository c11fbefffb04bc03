#include "Store.h"

#include <sqlite3.h>

#include <chrono>
#include <stdexcept>

namespace devserver {
namespace {

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS users (
  epicAccountId TEXT PRIMARY KEY,
  userId INTEGER NOT NULL UNIQUE,
  token TEXT NOT NULL,
  createdAt INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS orders (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  orderId TEXT UNIQUE,
  appId TEXT NOT NULL,
  userId INTEGER NOT NULL,
  productId TEXT NOT NULL,
  productName TEXT NOT NULL,
  channelProductId TEXT NOT NULL,
  defaultCurrency TEXT NOT NULL,
  defaultAmountMicro INTEGER NOT NULL,
  virtualCoinAmount INTEGER NOT NULL,
  virtualCurrency TEXT NOT NULL,
  extInfo TEXT NOT NULL,
  serverId TEXT NOT NULL,
  gameUserId TEXT NOT NULL,
  nickName TEXT NOT NULL,
  status TEXT NOT NULL,
  createdAt INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS order_history (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  orderId TEXT NOT NULL,
  at INTEGER NOT NULL,
  event TEXT NOT NULL,
  trxId TEXT NOT NULL,
  payAmountMicros TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS attribution (
  appId TEXT NOT NULL,
  clientId TEXT NOT NULL,
  at INTEGER NOT NULL,
  form TEXT NOT NULL,
  PRIMARY KEY (appId, clientId));
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  appId TEXT NOT NULL,
  at INTEGER NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS entitlement_claims (
  appId TEXT NOT NULL,
  entitlementId TEXT NOT NULL,
  orderId TEXT NOT NULL,
  at INTEGER NOT NULL,
  PRIMARY KEY (appId, entitlementId));
CREATE TABLE IF NOT EXISTS event_keys (
  appId TEXT NOT NULL,
  deviceId TEXT NOT NULL,
  eventOrder TEXT NOT NULL,
  PRIMARY KEY (appId, deviceId, eventOrder));
CREATE TABLE IF NOT EXISTS event_repeats (
  appId TEXT PRIMARY KEY,
  count INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS apps (
  appId TEXT PRIMARY KEY,
  json TEXT NOT NULL);
)";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, const std::string& value) {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int index, int64_t value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    // True while a row is available.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
    }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                             static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                               : std::string();
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error != nullptr ? error : "unknown";
        sqlite3_free(error);
        throw std::runtime_error("sqlite: " + text);
    }
}

// BEGIN IMMEDIATE takes the write lock at once, so a read-then-write inside cannot race
// another connection; anything not committed is rolled back when the scope ends.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { Exec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Commit() {
        Exec(db_, "COMMIT");
        committed_ = true;
    }

private:
    sqlite3* db_;
    bool committed_ = false;
};

OrderRecord ReadOrder(const Statement& s) {
    OrderRecord o;
    o.orderId = s.Text(0);
    o.appId = s.Text(1);
    o.userId = s.Int(2);
    o.productId = s.Text(3);
    o.productName = s.Text(4);
    o.channelProductId = s.Text(5);
    o.defaultCurrency = s.Text(6);
    o.defaultAmountMicro = s.Int(7);
    o.virtualCoinAmount = s.Int(8);
    o.virtualCurrency = s.Text(9);
    o.extInfo = s.Text(10);
    o.serverId = s.Text(11);
    o.gameUserId = s.Text(12);
    o.nickName = s.Text(13);
    o.status = s.Text(14);
    return o;
}

const char kOrderColumns[] =
    "orderId, appId, userId, productId, productName, channelProductId, defaultCurrency, defaultAmountMicro, "
    "virtualCoinAmount, virtualCurrency, extInfo, serverId, gameUserId, nickName, status, createdAt";

}  // namespace

Store::Store(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string error = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open " + path + ": " + error);
    }
    sqlite3_busy_timeout(db_, 10000);
    // WAL with full sync: a commit is on disk before the answer goes out.
    Exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
    Exec(db_, kSchema);
}

Store::~Store() {
    sqlite3_close(db_);
}

int64_t Store::LoginUser(const std::string& epicAccountId, std::optional<int64_t> configuredId,
                         int64_t firstUserId, const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    int64_t userId = 0;
    bool known = false;
    {
        Statement find(db_, "SELECT userId FROM users WHERE epicAccountId = ?");
        find.Bind(1, epicAccountId);
        if (find.Step()) {
            userId = find.Int(0);
            known = true;
        }
    }
    if (known) {
        Statement update(db_, "UPDATE users SET token = ? WHERE epicAccountId = ?");
        update.Bind(1, token).Bind(2, epicAccountId).Step();
    } else {
        if (configuredId) {
            userId = *configuredId;
        } else {
            Statement next(db_, "SELECT MAX(userId) FROM users");
            next.Step();
            userId = std::max(firstUserId, next.Int(0) + 1);
        }
        Statement insert(db_,
                         "INSERT INTO users (epicAccountId, userId, token, createdAt) VALUES (?, ?, ?, ?)");
        insert.Bind(1, epicAccountId).Bind(2, userId).Bind(3, token).Bind(4, NowMs()).Step();
    }
    tx.Commit();
    return userId;
}

bool Store::UserExists(int64_t userId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement find(db_, "SELECT 1 FROM users WHERE userId = ?");
    find.Bind(1, userId);
    return find.Step();
}

std::string Store::CreateOrder(OrderRecord o) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    const int64_t now = NowMs();
    {
        Statement insert(
            db_,
            "INSERT INTO orders (appId, userId, productId, productName, channelProductId, "
            "defaultCurrency, defaultAmountMicro, virtualCoinAmount, virtualCurrency, extInfo, serverId, "
            "gameUserId, nickName, status, createdAt) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,'created',?)");
        insert.Bind(1, o.appId).Bind(2, o.userId).Bind(3, o.productId).Bind(4, o.productName);
        insert.Bind(5, o.channelProductId).Bind(6, o.defaultCurrency).Bind(7, o.defaultAmountMicro);
        insert.Bind(8, o.virtualCoinAmount)
            .Bind(9, o.virtualCurrency)
            .Bind(10, o.extInfo)
            .Bind(11, o.serverId);
        insert.Bind(12, o.gameUserId).Bind(13, o.nickName).Bind(14, now);
        insert.Step();
    }
    const int64_t seq = sqlite3_last_insert_rowid(db_);
    char id[32];
    std::snprintf(id, sizeof id, "VD%012lld", static_cast<long long>(seq));
    {
        Statement name(db_, "UPDATE orders SET orderId = ? WHERE seq = ?");
        name.Bind(1, id).Bind(2, seq).Step();
    }
    {
        Statement history(db_,
                          "INSERT INTO order_history (orderId, at, event, trxId, payAmountMicros) "
                          "VALUES (?, ?, 'created', '', '')");
        history.Bind(1, id).Bind(2, now).Step();
    }
    tx.Commit();
    return id;
}

std::optional<OrderRecord> Store::FindOrder(const std::string& appId, const std::string& orderId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement find(
        db_,
        (std::string("SELECT ") + kOrderColumns + " FROM orders WHERE appId = ? AND orderId = ?").c_str());
    find.Bind(1, appId).Bind(2, orderId);
    if (!find.Step()) return std::nullopt;
    return ReadOrder(find);
}

Settlement Store::ReportPayment(const std::string& orderId, const std::string& status,
                                const std::string& trxId, const std::string& payAmountMicros) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Settlement result = Settlement::NotPaid;
    if (status == "1") {
        Statement settle(db_, "UPDATE orders SET status = 'paid' WHERE orderId = ? AND status != 'paid'");
        settle.Bind(1, orderId).Step();
        result = sqlite3_changes(db_) == 1 ? Settlement::Paid : Settlement::Repeat;
    }
    const char* event = result == Settlement::Paid     ? "paid"
                        : result == Settlement::Repeat ? "repeat"
                                                       : "not-paid";
    Statement history(
        db_, "INSERT INTO order_history (orderId, at, event, trxId, payAmountMicros) VALUES (?, ?, ?, ?, ?)");
    history.Bind(1, orderId).Bind(2, NowMs()).Bind(3, event).Bind(4, trxId).Bind(5, payAmountMicros).Step();
    tx.Commit();
    return result;
}

std::optional<std::string> Store::EpicAccountOfUser(int64_t userId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement find(db_, "SELECT epicAccountId FROM users WHERE userId = ?");
    find.Bind(1, userId);
    if (!find.Step()) return std::nullopt;
    return find.Text(0);
}

bool Store::ClaimEntitlement(const std::string& appId, const std::string& entitlementId, const std::string& orderId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement insert(db_,
                     "INSERT OR IGNORE INTO entitlement_claims (appId, entitlementId, orderId, at) VALUES (?, ?, ?, ?)");
    insert.Bind(1, appId).Bind(2, entitlementId).Bind(3, orderId).Bind(4, NowMs()).Step();
    bool own = false;
    {
        // Finished before the commit, which refuses while a statement is still stepping.
        Statement find(db_, "SELECT orderId FROM entitlement_claims WHERE appId = ? AND entitlementId = ?");
        find.Bind(1, appId).Bind(2, entitlementId);
        own = find.Step() && find.Text(0) == orderId;
    }
    tx.Commit();
    return own;
}

bool Store::RecordAttribution(const std::string& appId, const std::string& clientId,
                              const std::string& form) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement insert(db_,
                     "INSERT OR IGNORE INTO attribution (appId, clientId, at, form) VALUES (?, ?, ?, ?)");
    insert.Bind(1, appId).Bind(2, clientId).Bind(3, NowMs()).Bind(4, form).Step();
    return sqlite3_changes(db_) == 1;
}

bool Store::AddEvent(const std::string& appId, const std::string& deviceId, const std::string& eventOrder,
                     const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    if (!deviceId.empty() && !eventOrder.empty()) {
        Statement key(db_, "INSERT OR IGNORE INTO event_keys (appId, deviceId, eventOrder) VALUES (?, ?, ?)");
        key.Bind(1, appId).Bind(2, deviceId).Bind(3, eventOrder).Step();
        if (sqlite3_changes(db_) == 0) {
            Statement count(db_,
                            "INSERT INTO event_repeats (appId, count) VALUES (?, 1) "
                            "ON CONFLICT(appId) DO UPDATE SET count = count + 1");
            count.Bind(1, appId).Step();
            tx.Commit();
            return false;
        }
    }
    Statement insert(db_, "INSERT INTO events (appId, at, body) VALUES (?, ?, ?)");
    insert.Bind(1, appId).Bind(2, NowMs()).Bind(3, body).Step();
    tx.Commit();
    return true;
}

int64_t Store::EventRepeats(const std::string& appId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement sum(db_, "SELECT COALESCE(SUM(count), 0) FROM event_repeats WHERE ?1 = '' OR appId = ?1");
    sum.Bind(1, appId);
    return sum.Step() ? sum.Int(0) : 0;
}

void Store::SaveApp(const std::string& appId, const std::string& json) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement insert(db_, "INSERT OR REPLACE INTO apps (appId, json) VALUES (?, ?)");
    insert.Bind(1, appId).Bind(2, json).Step();
}

std::vector<std::pair<std::string, std::string>> Store::LoadApps() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, std::string>> apps;
    Statement all(db_, "SELECT appId, json FROM apps ORDER BY appId");
    while (all.Step()) apps.emplace_back(all.Text(0), all.Text(1));
    return apps;
}

nlohmann::json Store::Orders(const std::string& appId) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json out = nlohmann::json::array();
    Statement all(db_, (std::string("SELECT ") + kOrderColumns +
                        " FROM orders WHERE ?1 = '' OR appId = ?1 ORDER BY seq")
                           .c_str());
    all.Bind(1, appId);
    while (all.Step()) {
        const OrderRecord o = ReadOrder(all);
        nlohmann::json order = {{"orderId", o.orderId},
                                {"appId", o.appId},
                                {"userId", o.userId},
                                {"productId", o.productId},
                                {"productName", o.productName},
                                {"channelProductId", o.channelProductId},
                                {"defaultCurrency", o.defaultCurrency},
                                {"defaultAmountMicro", o.defaultAmountMicro},
                                {"virtualCoinAmount", o.virtualCoinAmount},
                                {"virtualCurrency", o.virtualCurrency},
                                {"extInfo", o.extInfo},
                                {"serverId", o.serverId},
                                {"gameUserId", o.gameUserId},
                                {"nickName", o.nickName},
                                {"status", o.status},
                                {"createdAt", all.Int(15)},
                                {"history", nlohmann::json::array()}};
        Statement history(
            db_, "SELECT at, event, trxId, payAmountMicros FROM order_history WHERE orderId = ? ORDER BY id");
        history.Bind(1, o.orderId);
        while (history.Step()) {
            order["history"].push_back({{"at", history.Int(0)},
                                        {"event", history.Text(1)},
                                        {"trxId", history.Text(2)},
                                        {"payAmountMicros", history.Text(3)}});
        }
        out.push_back(std::move(order));
    }
    return out;
}

nlohmann::json Store::Events(const std::string& appId) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json out = nlohmann::json::array();
    Statement all(db_, "SELECT appId, at, body FROM events WHERE ?1 = '' OR appId = ?1 ORDER BY id");
    all.Bind(1, appId);
    while (all.Step()) {
        out.push_back({{"appId", all.Text(0)},
                       {"at", all.Int(1)},
                       {"event", nlohmann::json::parse(all.Text(2), nullptr, false)}});
    }
    return out;
}

void Store::Reset(const std::string& appId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    for (const char* sql :
         {"DELETE FROM order_history WHERE orderId IN (SELECT orderId FROM orders WHERE ?1 = '' OR appId = "
          "?1)",
          "DELETE FROM orders WHERE ?1 = '' OR appId = ?1", "DELETE FROM events WHERE ?1 = '' OR appId = ?1",
          "DELETE FROM event_keys WHERE ?1 = '' OR appId = ?1",
          "DELETE FROM event_repeats WHERE ?1 = '' OR appId = ?1",
          "DELETE FROM attribution WHERE ?1 = '' OR appId = ?1"}) {
        Statement s(db_, sql);
        s.Bind(1, appId).Step();
    }
    tx.Commit();
}

}  // namespace devserver
