#include "nm/nm_pending.h"

#include <glib.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "nm/glib_ptr.h"
#include "nm/nm.h"
#include "nm/nm_worker.h"
#include "platform/platform.h"

namespace {

constexpr const char* kHeader = "linkKeeper pending changes 1";
constexpr const char* kRecordName = "checkpoints";
constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";
constexpr const char* kNone = "-";
constexpr size_t kIfnameMax = 15;
constexpr size_t kUuidLength = 36;
constexpr const char* kCheckpointPrefix = "/org/freedesktop/NetworkManager/Checkpoint/";

std::string& gDirectory = *new std::string(LK_RUNTIME_DIR);
PendingRecord& gRecord = *new PendingRecord;
bool gLoaded = false;

const char* orNone(const std::string& text) {
    return text.empty() ? kNone : text.c_str();
}

std::string fromNone(const std::string& word) {
    return word == kNone ? std::string() : word;
}

bool plainWord(const std::string& word, size_t maxLength) {
    if (word.empty() || word.size() > maxLength) return false;
    for (char c : word) {
        if (c <= ' ' || c == '/' || c > '~') return false;
    }
    return true;
}

bool validChange(const PendingChange& change) {
    auto uuidOrNone = [](const std::string& uuid) {
        return uuid.empty() || (uuid.size() == kUuidLength && plainWord(uuid, kUuidLength));
    };
    return change.number != 0 && plainWord(change.ifname, kIfnameMax) &&
           (change.checkpoint.empty() || change.checkpoint.rfind(kCheckpointPrefix, 0) == 0) &&
           uuidOrNone(change.newUuid) && uuidOrNone(change.oldUuid);
}

bool parseChange(std::istringstream& line, PendingChange* change) {
    std::string checkpoint, newUuid, oldUuid;
    if (!(line >> change->number >> change->ifname >> change->deadlineMs >> checkpoint >> newUuid >>
          oldUuid)) {
        return false;
    }
    change->checkpoint = fromNone(checkpoint);
    change->newUuid = fromNone(newUuid);
    change->oldUuid = fromNone(oldUuid);
    std::string rest;
    return !(line >> rest) && validChange(*change);
}

std::string bootId() {
    GCharPtr text;
    if (!g_file_get_contents(kBootIdPath, outPtr(text), nullptr, nullptr)) return "unknown";
    return g_strstrip(text.get());
}

std::string recordPath() {
    return gDirectory + "/" + kRecordName;
}

// Reads the record of this boot; a record of an earlier boot (the directory survived it) or
// none at all starts empty.
void load() {
    gLoaded = true;
    gRecord.bootId = bootId();
    GCharPtr text;
    GErrorPtr error;
    if (!g_file_get_contents(recordPath().c_str(), outPtr(text), nullptr, outPtr(error))) {
        if (!g_error_matches(error.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
            yebLog("pending changes not read: %s\n", error->message);
        }
        return;
    }
    PendingRecord read;
    if (!pendingParse(text.get(), &read)) {
        yebLog("error: %s is damaged; pending changes of an earlier run are lost\n",
               recordPath().c_str());
        return;
    }
    if (read.bootId != gRecord.bootId) return;
    gRecord = read;
    for (const PendingChange& change : gRecord.changes) {
        yebLog("checkpoint %u of %s pending from an earlier run, %lld s left\n", change.number,
               change.ifname.c_str(),
               static_cast<long long>((change.deadlineMs - nmPendingNowMs()) / 1000));
    }
}

PendingRecord& record() {
    if (!gLoaded) load();
    return gRecord;
}

}  // namespace

std::string pendingFormat(const PendingRecord& record) {
    std::string text = std::string(kHeader) + "\nboot " + record.bootId + "\nlast " +
                       std::to_string(record.lastNumber) + "\n";
    for (const PendingChange& change : record.changes) {
        text += "pending " + std::to_string(change.number) + " " + change.ifname + " " +
                std::to_string(change.deadlineMs) + " " + orNone(change.checkpoint) + " " +
                orNone(change.newUuid) + " " + orNone(change.oldUuid) + "\n";
    }
    return text;
}

bool pendingParse(const std::string& text, PendingRecord* out) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader) return false;
    PendingRecord record;
    bool boot = false, last = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        std::string rest;
        if (key == "boot" && !boot) {
            boot = static_cast<bool>(words >> record.bootId) && !(words >> rest);
            if (!boot) return false;
        } else if (key == "last" && !last) {
            last = static_cast<bool>(words >> record.lastNumber) && !(words >> rest);
            if (!last) return false;
        } else if (key == "pending" && record.changes.size() < PENDING_MAX) {
            PendingChange change;
            if (!parseChange(words, &change) || change.number > record.lastNumber) return false;
            record.changes.push_back(change);
        } else {
            return false;
        }
    }
    if (!boot || !last) return false;
    *out = record;
    return true;
}

void nmadapter_set_runtime_dir(const char* directory) {
    gDirectory = directory;
}

int64_t nmPendingNowMs() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::vector<PendingChange>& nmPendingChanges() {
    return record().changes;
}

PendingChange* nmPendingFind(uint32_t number) {
    for (PendingChange& change : nmPendingChanges()) {
        if (change.number == number) return &change;
    }
    return nullptr;
}

PendingChange* nmPendingOn(const char* ifname) {
    for (PendingChange& change : nmPendingChanges()) {
        if (change.ifname == ifname) return &change;
    }
    return nullptr;
}

uint32_t nmPendingNumber() {
    uint32_t number = ++record().lastNumber;
    return nmPendingSave() == 0 ? number : 0;
}

int nmPendingSave() {
    if (g_mkdir_with_parents(gDirectory.c_str(), 0750) != 0) {
        int error = errno;
        yebLog("error: %s not made: %s\n", gDirectory.c_str(), strerror(error));
        return -error;
    }
    std::string text = pendingFormat(record());
    GErrorPtr error;
    // Written to a temporary file and renamed over the record: a crash leaves the old or the
    // new one, never half of it.
    if (!g_file_set_contents(recordPath().c_str(), text.c_str(), static_cast<gssize>(text.size()),
                             outPtr(error))) {
        yebLog("error: pending changes not written: %s\n", error->message);
        return -EIO;
    }
    return 0;
}

void nmPendingDrop(uint32_t number) {
    std::vector<PendingChange>& changes = nmPendingChanges();
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it->number == number) {
            changes.erase(it);
            nmPendingSave();
            return;
        }
    }
}

int nmPendingRefuse(const char* ifname, const char* request) {
    for (const PendingChange& change : nmPendingChanges()) {
        if (ifname != nullptr && change.ifname != ifname) continue;
        yebLog("%s refused: checkpoint %u of %s is pending; confirm or roll it back first\n",
               request, change.number, change.ifname.c_str());
        return -EBUSY;
    }
    return 0;
}

NmTask nmadapter_listCheckpoints(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    Encoder* enc = &request->encoder;
    int64_t now = nmPendingNowMs();
    encodeJsonStart(enc);
    encodeJsonListStart(enc);
    for (const PendingChange& change : nmPendingChanges()) {
        int64_t left = change.deadlineMs > now ? (change.deadlineMs - now) / 1000 : 0;
        encodeJsonObjectStart(enc);
        encodeJsonNameIntValue(enc, "checkpoint", static_cast<int>(change.number));
        encodeJsonNameStrValue(enc, "interface", change.ifname.c_str());
        encodeJsonNameIntValue(enc, "seconds", static_cast<int>(left));
        encodeJsonObjectEnd(enc);
    }
    encodeJsonListEnd(enc);
    co_return encodeJsonEnd(enc) < 0 ? -EMSGSIZE : encoderSize(enc);
}
