// Feeds arbitrary bytes, as one read of an inotify descriptor, through the
// buffer parser, the rename pairing and the directory tree, the way the
// change source uses them.
#include <stddef.h>
#include <stdint.h>
#include <sys/inotify.h>

#include <vector>

#include "change_source/dir_tree.h"
#include "change_source/event_mapping.h"
#include "change_source/inotify_buffer.h"
#include "change_source/rename_pairer.h"

namespace {

void Apply(posix::DirTree* tree, posix::RenamePairer* pairer, const posix::InotifyEvent& event) {
    posix::ShellEventFromMask(event.mask);
    posix::DirNode* node = tree->Find(event.wd % 8);
    if (!node || event.name.empty() || event.name.find('/') != std::string_view::npos) return;
    if (event.mask & IN_CREATE) {
        tree->SetWd(tree->AddChild(node, event.name), static_cast<int>(event.cookie % 8));
    } else if (event.mask & IN_MOVED_FROM) {
        pairer->From(node->wd, event.mask, event.cookie, std::string(event.name));
    } else if (event.mask & IN_MOVED_TO) {
        auto from = pairer->TakePartner(event.cookie);
        posix::DirNode* fromParent = from ? tree->Find(from->wd) : nullptr;
        posix::DirNode* moved = fromParent ? tree->Child(fromParent, from->name) : nullptr;
        if (moved) tree->Move(moved, node, event.name);
    } else if (event.mask & IN_DELETE) {
        if (posix::DirNode* child = tree->Child(node, event.name)) tree->Remove(child);
    }
    tree->PathOf(node, event.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<posix::InotifyEvent> events;
    posix::ParseInotifyBuffer(reinterpret_cast<const char*>(data), size, &events);
    posix::DirTree tree("/root");
    tree.SetWd(tree.Root(), 0);
    posix::RenamePairer pairer;
    size_t index = 0;
    for (const posix::InotifyEvent& event : events) {
        Apply(&tree, &pairer, event);
        if (++index % 3 == 0) pairer.EndOfRead();
    }
    pairer.TakeAll();
    return 0;
}
