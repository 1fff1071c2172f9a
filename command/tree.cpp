// Folder trees and wildcards for add and extract. The work is split in two: the plan is
// made on the command's own handle, one folder at a time, and holds every file in the
// tree's order (a folder's entries in the order its listing gives them, a sub-folder's
// files right where the sub-folder stands); then up to `Connections` workers, each on its
// own logged-in handle, take the next file of the plan until none is left. The command's
// thread only watches: it writes the report in the plan's order as files finish, sums
// the workers' progress into one meter and passes a cancel of the command's handle on to
// every other handle.
#include "command/tree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/tree.h"
#include "command/entry.h"
#include "command/output.h"
#include "config/settings.h"
#include "platform/file.h"
#include "status/status.h"
#include "util/text.h"

namespace {

// Deeper than this a tree is more likely a loop the listing hides than real folders.
const int TREE_DEPTH_LIMIT = 64;
// The watcher looks at the workers and the cancel this often.
const int WATCH_MS = 50;

enum ItemKind {
    ITEM_FILE,     // a transfer
    ITEM_PLAIN,    // a named file, moved exactly as the single-file command moves it
    ITEM_FAILED,   // found wrong while planning: its lines say why
    ITEM_SKIPPED,  // a link, left alone
};

struct Item {
    ItemKind kind;
    std::string shown;   // the name in the report
    std::string remote;  // remote path, relative to the URL's folder
    std::string local;   // local path (a plain download: the folder argument)
    int64_t size;        // -1 when not known
    std::string what;    // ITEM_FAILED: the first error line; ITEM_SKIPPED: the note
    std::string reason;  // ITEM_FAILED: why, "" for none
    // Filled by the worker that ran it, read by the watcher once done is set under the lock.
    int done;
    int ok;
    HARC by;
    std::string failure;
};

// The direction of a transfer: its words in the report and its failure code.
struct Direction {
    int upload;
    const char *verb;
    const char *export_name;
    int failure;
};

const Direction DOWNLOAD = {0, "Read", "KestrelExtract", COMMAND_READ_FAILED};
const Direction UPLOAD = {1, "Write", "KestrelAdd", COMMAND_WRITE_FAILED};

struct Plan {
    const ActionCall *call;
    const Direction *direction;
    std::vector<Item> items;
    std::set<std::string> visited;  // folders walked, by path
    std::string destination;        // download: local folder; upload: remote folder ("" the URL's)
    size_t matched;                 // files a wildcard found so far
};

Item make_item(ItemKind kind, const std::string &shown)
{
    Item item;
    item.kind = kind;
    item.shown = shown;
    item.size = -1;
    item.done = 0;
    item.ok = 0;
    item.by = nullptr;
    return item;
}

std::string handle_reason(HARC handle)
{
    char reason[256];
    if (KestrelGetErrorEx(handle, reason, (int)sizeof reason) == KESTREL_FAILURE_NONE)
        return "";
    return reason;
}

void add_failed(Plan &plan, const std::string &shown, const std::string &what, const std::string &reason)
{
    Item item = make_item(ITEM_FAILED, shown);
    item.what = what;
    item.reason = reason;
    plan.items.push_back(item);
}

std::string join(const std::string &folder, const std::string &name)
{
    if (folder.empty())
        return name;
    char last = folder[folder.size() - 1];
    if (last == '/' || platform_is_path_separator(last))
        return folder + name;
    return folder + "/" + name;
}

std::string without_trailing_separators(std::string path)
{
    while (path.size() > 1 && (path.back() == '/' || platform_is_path_separator(path.back())))
        path.pop_back();
    return path;
}

// A path a user gave, taken as levels below the destination: every level must be safe
// as a name from a server must ("" is the destination itself).
int safe_relative_path(const std::string &path)
{
    if (path.empty())
        return 1;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < path.size() && path[end] != '/' && !platform_is_path_separator(path[end]))
            end++;
        std::string level = path.substr(start, end - start);
        // A doubled or trailing '/' adds no level; a leading one makes the path absolute.
        if (!(level.empty() && start > 0) && !tree_safe_component(level.c_str()))
            return 0;
        if (end >= path.size())
            return 1;
        start = end + 1;
    }
}

int is_folder_argument(const char *argument)
{
    size_t n = strlen(argument);
    return n > 0 && (argument[n - 1] == '/' || argument[n - 1] == '\\');
}

// ---- Planning a download ----

struct Listed {
    std::string name;
    std::string link_target;
    int is_folder;
    int is_link;
    int64_t size;
};

void take_listed(void *user, const TreeListed *entry)
{
    std::vector<Listed> *entries = (std::vector<Listed> *)user;
    entries->push_back({entry->name, entry->link_target, entry->is_folder, entry->is_link, entry->size});
}

std::string local_of(const Plan &plan, const std::string &remote)
{
    return join(plan.destination, remote);
}

// Walks the remote folder (relative to the URL's; "" is that folder): files that match
// the pattern (every file when there is none) become items; with recurse, every folder
// below is walked too. Without a pattern each folder walked is made locally, so empty
// folders come over as well.
void walk_remote(Plan &plan, const std::string &folder, const char *pattern, int recurse, int depth)
{
    HARC handle = plan.call->handle;
    const std::string shown = folder.empty() ? "." : folder;
    if (kestrel_cancelled(handle))
        return;
    if (depth > TREE_DEPTH_LIMIT) {
        add_failed(plan, shown, "Error: Folder deeper than 64 levels [" + shown + "]", "");
        return;
    }
    if (!plan.visited.insert(folder).second)
        return;
    if (!pattern && !folder.empty()) {
        std::string local = local_of(plan, folder);
        if (platform_make_folders(local.c_str()) != 0) {
            add_failed(plan, shown, "Error: Can't make the folder [" + local + "]",
                       std::string("local file: ") + local + ": " + strerror(errno));
            return;
        }
    }
    std::vector<Listed> entries;
    if (kestrel_list_folder(handle, folder.c_str(), take_listed, &entries) != 0) {
        add_failed(plan, shown, "Error: Can't list the folder [" + shown + "]", handle_reason(handle));
        return;
    }
    for (const Listed &entry : entries) {
        if (entry.name == "." || entry.name == "..")
            continue;
        std::string remote = join(folder, entry.name);
        if (!tree_safe_component(entry.name.c_str())) {
            add_failed(plan, remote, "Error: Name would leave the destination [" + remote + "]", "");
            continue;
        }
        if (entry.is_link) {
            if (!pattern || tree_name_matches(pattern, entry.name.c_str())) {
                Item item = make_item(ITEM_SKIPPED, remote);
                item.what = "Skipping link [" + remote + " -> " + entry.link_target + "]";
                plan.items.push_back(item);
            }
            continue;
        }
        if (entry.is_folder) {
            if (recurse)
                walk_remote(plan, remote, pattern, recurse, depth + 1);
            continue;
        }
        if (pattern && !tree_name_matches(pattern, entry.name.c_str()))
            continue;
        Item item = make_item(ITEM_FILE, remote);
        item.remote = remote;
        item.local = local_of(plan, remote);
        item.size = entry.size;
        plan.items.push_back(item);
        plan.matched++;
    }
}

// One name argument of a download: a wildcard, a file or (with -r) a folder.
void plan_remote_name(Plan &plan, const char *argument, int recurse)
{
    std::string name = argument;
    size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? "" : name.substr(0, slash);
    std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    if (!safe_relative_path(folder)) {
        add_failed(plan, name, "Error: Name would leave the destination [" + name + "]", "");
        return;
    }
    if (tree_has_wildcard(leaf.c_str())) {
        size_t before = plan.matched;
        walk_remote(plan, folder, leaf.c_str(), recurse, slash == std::string::npos ? 0 : 1);
        if (plan.matched == before && !kestrel_cancelled(plan.call->handle))
            add_failed(plan, name, "Error: Can't " + std::string(plan.direction->export_name) + "(" +
                                       command_handle_text(plan.call->handle).text + "," + name + ",(null),0)",
                       "no file matches " + name);
        return;
    }
    if (leaf.empty()) {  // the URL's folder itself, or a folder named with a trailing '/'
        walk_remote(plan, folder, nullptr, 1, 0);
        return;
    }
    if (!recurse) {
        Item item = make_item(ITEM_PLAIN, name);
        item.remote = name;
        item.local = plan.destination;
        plan.items.push_back(item);
        return;
    }
    // Folder or file: only the listing of the folder it stands in tells.
    std::vector<Listed> entries;
    HARC handle = plan.call->handle;
    if (kestrel_list_folder(handle, folder.c_str(), take_listed, &entries) != 0) {
        add_failed(plan, name, "Error: Can't list the folder [" + (folder.empty() ? "." : folder) + "]",
                   handle_reason(handle));
        return;
    }
    for (const Listed &entry : entries) {
        if (entry.name != leaf)
            continue;
        if (!tree_safe_component(leaf.c_str()))
            break;
        if (entry.is_link) {
            Item item = make_item(ITEM_SKIPPED, name);
            item.what = "Skipping link [" + name + " -> " + entry.link_target + "]";
            plan.items.push_back(item);
        } else if (entry.is_folder) {
            walk_remote(plan, name, nullptr, 1, 1);
        } else {
            Item item = make_item(ITEM_FILE, name);
            item.remote = name;
            item.local = local_of(plan, name);
            item.size = entry.size;
            plan.items.push_back(item);
        }
        return;
    }
    add_failed(plan, name, "Error: Can't KestrelExtract(" + std::string(command_handle_text(handle).text) + "," +
                               name + ",(null),0)",
               tree_safe_component(leaf.c_str()) ? "no such file or folder: " + name
                                                 : "the name would leave the destination");
}

// ---- Planning an upload ----

void take_local(void *user, const LocalFolderEntry *entry)
{
    std::vector<Listed> *entries = (std::vector<Listed> *)user;
    entries->push_back({entry->name, "", entry->is_directory, entry->is_link, entry->size});
}

// Makes the remote folder (one that is there already will do); 0 or -1 after noting a
// failed item for it.
int make_remote(Plan &plan, const std::string &remote)
{
    if (remote.empty())
        return 0;
    HARC handle = plan.call->handle;
    if (kestrel_make_remote_folder(handle, remote.c_str()) == 1)
        return 0;
    add_failed(plan, remote, "Error: Can't MkDir(" + std::string(command_handle_text(handle).text) + "," + remote +
                                 ",(null),0)",
               handle_reason(handle));
    return -1;
}

// Walks a local folder: files that match become uploads to the same place below the
// remote folder; with recurse, folders are walked (and made remotely) too. Links are
// never followed.
void walk_local(Plan &plan, const std::string &local, const std::string &remote, const char *pattern, int recurse,
                int depth)
{
    if (kestrel_cancelled(plan.call->handle))
        return;
    if (depth > TREE_DEPTH_LIMIT) {
        add_failed(plan, local, "Error: Folder deeper than 64 levels [" + local + "]", "");
        return;
    }
    if (!plan.visited.insert(local).second)
        return;
    std::vector<Listed> entries;
    if (platform_list_folder(local.c_str(), take_local, &entries) != 0) {
        add_failed(plan, local, "Error: Can't read the folder [" + local + "]",
                   std::string("local file: ") + local + ": " + strerror(errno));
        return;
    }
    // The system's order is no order: the report and the remote tree follow the names.
    std::sort(entries.begin(), entries.end(), [](const Listed &a, const Listed &b) { return a.name < b.name; });
    // The top folder of a wildcard is the destination, made before; every folder below
    // it is made here, so its files have a place.
    if ((!pattern || depth > 0) && make_remote(plan, remote) != 0)
        return;
    for (const Listed &entry : entries) {
        std::string path = local == "." ? entry.name : join(local, entry.name);
        if (entry.is_link) {
            if (!pattern || tree_name_matches(pattern, entry.name.c_str())) {
                Item item = make_item(ITEM_SKIPPED, path);
                item.what = "Skipping link [" + path + "]";
                plan.items.push_back(item);
            }
            continue;
        }
        if (entry.is_folder) {
            if (recurse)
                walk_local(plan, path, join(remote, entry.name), pattern, recurse, depth + 1);
            continue;
        }
        if (pattern && !tree_name_matches(pattern, entry.name.c_str()))
            continue;
        Item item = make_item(ITEM_FILE, path);
        item.remote = join(remote, entry.name);
        item.local = path;
        item.size = entry.size;
        plan.items.push_back(item);
        plan.matched++;
    }
}

std::string last_level(const std::string &path)
{
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); i++)
        if (path[i] == '/' || platform_is_path_separator(path[i]))
            cut = i;
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

void plan_local_name(Plan &plan, const char *argument, int recurse)
{
    std::string name = without_trailing_separators(argument);
    std::string leaf = last_level(name);
    std::string folder = name.substr(0, name.size() - leaf.size());
    if (tree_has_wildcard(leaf.c_str())) {
        size_t before = plan.matched;
        if (recurse && !plan.destination.empty())
            make_remote(plan, without_trailing_separators(plan.destination));
        walk_local(plan, folder.empty() ? "." : without_trailing_separators(folder), plan.destination, leaf.c_str(),
                   recurse, 0);
        if (plan.matched == before && !kestrel_cancelled(plan.call->handle))
            add_failed(plan, name, "Error: Can't KestrelAdd(" + std::string(command_handle_text(plan.call->handle).text) +
                                       "," + name + ",(null),0)",
                       "no file matches " + name);
        return;
    }
    LocalFileInfo info;
    if (recurse && platform_file_info(name.c_str(), &info) == 0 && info.is_directory) {
        if (!plan.destination.empty() && make_remote(plan, without_trailing_separators(plan.destination)) != 0)
            return;
        walk_local(plan, name, join(plan.destination, leaf), nullptr, 1, 1);
        return;
    }
    Item item = make_item(ITEM_PLAIN, argument);
    item.remote = plan.destination;
    item.local = argument;
    plan.items.push_back(item);
}

// ---- Carrying the plan out ----

struct Worker {
    HARC handle;
    int own;                         // opened here, closed at the end
    std::atomic<int64_t> in_flight;  // bytes of the file under way
};

struct Run {
    Plan *plan;
    std::atomic<size_t> next{0};
    std::atomic<int> stop{0};
    std::atomic<int64_t> finished_bytes{0};
    std::mutex lock;
    std::condition_variable changed;
    size_t done_count = 0;  // under lock
};

// The progress lines of one worker's handle ("READ: done/total"): only the count is
// kept, for the watcher to sum.
int KESTREL_API worker_progress(const char *message, intptr_t user)
{
    Worker *worker = (Worker *)user;
    const char *colon = message ? strchr(message, ':') : nullptr;
    if (colon)
        worker->in_flight.store(strtoll(colon + 1, nullptr, 10));
    return 0;
}

int run_item(const Plan &plan, Item &item, HARC handle)
{
    if (plan.direction->upload)
        return KestrelAdd(handle, item.remote.c_str(), item.local.c_str(), 0);
    if (item.kind == ITEM_PLAIN)
        return KestrelExtract(handle, item.remote.c_str(), item.local.c_str(), 0);
    return kestrel_extract_sized(handle, item.remote.c_str(), item.local.c_str(), item.size);
}

void work(Run *run, Worker *worker, const char *url)
{
    Plan &plan = *run->plan;
    if (worker->own) {
        if (KestrelOpenArchiveEx(worker->handle, url, plan.call->open_mode | 2) != 1)
            return;  // the others take its share
        if (plan.call->data_mode != -1)
            KestrelSetDataConnectionMode(worker->handle, plan.call->data_mode);
    }
    kestrel_keep_type(worker->handle, 1);
    KestrelSetCallbackMsgFunc(worker->handle, worker_progress, (intptr_t)worker);
    for (;;) {
        if (run->stop.load())
            break;
        size_t index = run->next.fetch_add(1);
        if (index >= plan.items.size())
            break;
        Item &item = plan.items[index];
        int ok = 1;
        std::string failure;
        if (item.kind == ITEM_FILE || item.kind == ITEM_PLAIN) {
            worker->in_flight.store(0);
            ok = run_item(plan, item, worker->handle) > 0;
            if (!ok)
                failure = handle_reason(worker->handle);
            worker->in_flight.store(0);
            if (ok && item.size > 0)
                run->finished_bytes.fetch_add(item.size);
        }
        std::lock_guard<std::mutex> guard(run->lock);
        item.ok = ok;
        item.by = worker->handle;
        item.failure = failure;
        item.done = 1;
        run->done_count++;
        run->changed.notify_all();
    }
    if (worker->own)
        kestrel_keep_type(worker->handle, 0);
}

// The report lines of one finished item; counts the files and failures.
void report_item(const Plan &plan, const Item &item, int *files, int *failed)
{
    OutputBuffer *output = plan.call->output;
    StatusWindow *status = plan.call->status;
    const char *verb = plan.direction->verb;
    switch (item.kind) {
    case ITEM_SKIPPED:
        output_printf(output, "%s\n", item.what.c_str());
        return;
    case ITEM_FAILED:
        output_printf(output, "%s\n", item.what.c_str());
        if (!item.reason.empty())
            output_printf(output, "Error: %s\n", item.reason.c_str());
        status_print(status, "%s\r\n", item.what.c_str());
        (*failed)++;
        return;
    case ITEM_FILE:
    case ITEM_PLAIN:
        break;
    }
    output_printf(output, "%s begin [%s]\n", verb, item.shown.c_str());
    status_print(status, "%s begin [%s]\r\n", verb, item.shown.c_str());
    if (!item.done) {
        output_printf(output, "Error: Not transferred, the command was cancelled [%s]\n", item.shown.c_str());
        (*failed)++;
        return;
    }
    if (!item.ok) {
        output_printf(output, "Error: Can't %s(%s,%s,(null),0)\n", plan.direction->export_name,
                      command_handle_text(item.by).text, item.shown.c_str());
        if (!item.failure.empty())
            output_printf(output, "Error: %s\n", item.failure.c_str());
        (*failed)++;
        return;
    }
    (*files)++;
    output_printf(output, "%s end [%s]\n", verb, item.shown.c_str());
    status_print(status, "%s end [%s]\r\n", verb, item.shown.c_str());
}

int connections_wanted(size_t transfers)
{
    int wanted = settings_connections_in_range(g_settings.Connections);
    if ((size_t)wanted > transfers)
        wanted = transfers > 0 ? (int)transfers : 1;
    return wanted;
}

int carry_out(Plan &plan)
{
    const ActionCall &call = *plan.call;
    size_t transfers = 0;
    int64_t total = 0;
    for (const Item &item : plan.items) {
        if (item.kind == ITEM_FILE || item.kind == ITEM_PLAIN) {
            transfers++;
            if (item.size > 0)
                total += item.size;
        }
    }
    int count = connections_wanted(transfers);
    Run run;
    run.plan = &plan;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < count; i++) {
        std::unique_ptr<Worker> worker(new Worker);
        worker->own = i > 0;
        worker->handle = i == 0 ? call.handle : KestrelNewArchiveEx();
        worker->in_flight.store(0);
        if (!worker->handle)
            break;  // no memory for another: fewer connections do the work
        workers.push_back(std::move(worker));
    }
    std::vector<std::thread> threads;
    for (auto &worker : workers)
        threads.emplace_back(work, &run, worker.get(), call.url);

    // The report in the plan's order, the summed meter and the cancel, until every
    // worker is done.
    size_t reported = 0;
    int files = 0, failed = 0;
    int64_t last_meter = -1;
    int cancelled = 0, stragglers_cut = 0;
    const char *label = plan.direction->upload ? "WRITE" : "READ";
    for (;;) {
        std::vector<size_t> ready;
        int all_done;
        {
            std::unique_lock<std::mutex> guard(run.lock);
            run.changed.wait_for(guard, std::chrono::milliseconds(WATCH_MS));
            while (reported < plan.items.size() && plan.items[reported].done)
                ready.push_back(reported++);
            all_done = run.done_count == plan.items.size();
        }
        for (size_t index : ready)
            report_item(plan, plan.items[index], &files, &failed);
        if (!cancelled && kestrel_cancelled(call.handle)) {
            cancelled = 1;
            run.stop.store(1);
            for (auto &worker : workers)
                KestrelCancel(worker->handle, 0);
        }
        // A connection still logging in when the last file is done has nothing to do.
        if (all_done && !stragglers_cut) {
            stragglers_cut = 1;
            for (auto &worker : workers)
                if (worker->own)
                    KestrelCancel(worker->handle, 0);
        }
        if (call.status) {
            int64_t sum = run.finished_bytes.load();
            for (auto &worker : workers)
                sum += worker->in_flight.load();
            if (sum != last_meter) {
                last_meter = sum;
                char line[80];
                text_format(line, sizeof line, "%s: %lld/%lld\n", label, (long long)sum, (long long)total);
                status_message_callback(line, (intptr_t)call.status);
            }
        }
        // After a cancel every worker ends within its own wait's wake-up.
        if (all_done || cancelled)
            break;
    }
    for (std::thread &thread : threads)
        thread.join();
    for (; reported < plan.items.size(); reported++)
        report_item(plan, plan.items[reported], &files, &failed);
    // The command's handle reports to the window again.
    KestrelSetCallbackMsgFunc(call.handle, status_message_callback, (intptr_t)call.status);
    for (auto &worker : workers)
        if (worker->own)
            KestrelCloseArchive(worker->handle);

    output_printf(call.output, "Total: %d files %s, %d failed, %lld bytes\n", files,
                  plan.direction->upload ? "written" : "read", failed, (long long)run.finished_bytes.load());
    for (const Item &item : plan.items) {
        int transfer = item.kind == ITEM_FILE || item.kind == ITEM_PLAIN;
        if (item.kind == ITEM_FAILED || (transfer && (!item.done || !item.ok)))
            output_printf(call.output, "Failed [%s]\n", item.shown.c_str());
    }
    return failed == 0 ? COMMAND_OK : plan.direction->failure;
}

// Folder arguments name where the names after them go; with -r a folder argument with
// nothing after it is one more name, a folder to walk.
int plan_arguments(Plan &plan)
{
    const ActionCall &call = *plan.call;
    int names = 0;
    for (int i = 0; i < call.count; i++) {
        const char *argument = call.files[i];
        if (is_folder_argument(argument) && !(call.recurse && i == call.count - 1)) {
            plan.destination = argument;
            if (!plan.direction->upload && platform_make_folders(argument) != 0) {
                add_failed(plan, argument, std::string("Error: Can't make the folder [") + argument + "]",
                           std::string("local file: ") + argument + ": " + strerror(errno));
                return -1;
            }
            continue;
        }
        names++;
        if (plan.direction->upload)
            plan_local_name(plan, argument, call.recurse);
        else
            plan_remote_name(plan, argument, call.recurse);
    }
    // -r with folder arguments only: the whole tree of the URL's folder goes to the last.
    if (names == 0 && call.recurse) {
        if (plan.direction->upload)
            add_failed(plan, ".", "Error: Can't find a local folder to add.", "");
        else
            walk_remote(plan, "", nullptr, 1, 0);
    }
    return 0;
}

int tree_run(const ActionCall &call, const Direction &direction)
{
    Plan plan;
    plan.call = &call;
    plan.direction = &direction;
    plan.matched = 0;
    if (!direction.upload)
        plan.destination = g_settings.DefaultDir;
    // The listings' Index files are transfers too: the one TYPE of the connection serves
    // them as well.
    kestrel_keep_type(call.handle, 1);
    int result = direction.failure;
    if (plan_arguments(plan) != 0) {
        int files = 0, failed = 0;
        for (const Item &item : plan.items)
            report_item(plan, item, &files, &failed);
    } else if (kestrel_cancelled(call.handle)) {
        output_printf(call.output, "Error: The command was cancelled.\n");
    } else {
        result = carry_out(plan);
    }
    kestrel_keep_type(call.handle, 0);
    return result;
}

}  // namespace

int tree_has_wildcard(const char *text)
{
    return text && strpbrk(text, "*?") != nullptr;
}

int tree_wanted(const ActionCall &call)
{
    if (call.recurse)
        return 1;
    for (int i = 0; i < call.count; i++) {
        const char *argument = call.files[i];
        const char *slash = strrchr(argument, '/');
        if (tree_has_wildcard(slash ? slash + 1 : argument))
            return 1;
    }
    return 0;
}

int tree_name_matches(const char *pattern, const char *name)
{
    // The last '*' seen and where in the name it took over: a mismatch later lets that
    // star take one more character, so no case costs more than pattern times name steps.
    const char *star = nullptr, *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return 0;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0';
}

int tree_safe_component(const char *name)
{
    if (!name || !*name || strcmp(name, ".") == 0)
        return 0;
    for (const char *p = name; *p; p++)
        if (*p == '/' || *p == '\\' || platform_is_path_separator(*p))
            return 0;
    if (((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) && name[1] == ':')
        return 0;
    // ".." and what Windows reads as it: dots and blanks only, from two dots on.
    if (name[0] == '.' && name[1] == '.') {
        const char *p = name + 2;
        while (*p == '.' || *p == ' ')
            p++;
        if (*p == '\0')
            return 0;
    }
    return 1;
}

int tree_extract(const ActionCall &call)
{
    return tree_run(call, DOWNLOAD);
}

int tree_add(const ActionCall &call)
{
    return tree_run(call, UPLOAD);
}
