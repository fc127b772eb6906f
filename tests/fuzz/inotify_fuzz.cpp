// Feeds arbitrary bytes, as one read of an inotify descriptor, through the
// buffer parser, the rename pairing, the lines held behind a pending move and
// the directory tree, the way the change source uses them. Once every move
// is settled, no line may be left held.
#include <stddef.h>
#include <stdint.h>
#include <sys/inotify.h>

#include <cstdlib>
#include <vector>

#include "change_source/dir_tree.h"
#include "change_source/event_mapping.h"
#include "change_source/held_lines.h"
#include "change_source/inotify_buffer.h"
#include "change_source/rename_pairer.h"

namespace {

struct Source {
    posix::DirTree tree{"/root"};
    posix::RenamePairer pairer;  // each move's record, its folder detached at its first end
    posix::HeldLines held;
};

// Fills the places of moves whose end is known; a directory that did not
// land is given up.
void Settle(Source* source, const std::vector<posix::MoveEnd>& ends, bool landed) {
    for (const posix::MoveEnd& end : ends) {
        source->held.Fill(end.cookie, {1, end.name, {}});
        if (!landed && end.node) source->tree.Discard(end.node);
    }
    source->held.TakeReady();
}

void Apply(Source* source, const posix::InotifyEvent& event) {
    posix::DirTree* tree = &source->tree;
    posix::RenamePairer* pairer = &source->pairer;
    const LONG shellEvent = posix::ShellEventFromMask(event.mask);
    const std::vector<posix::DirNode*> owners = tree->Owners(event.wd % 8);
    if (owners.empty() || event.name.empty() || event.name.find('/') != std::string_view::npos)
        return;
    posix::DirNode* node = owners[event.cookie % owners.size()];
    source->held.Put({shellEvent, std::string(event.name), {}});
    if (event.mask & IN_CREATE) {
        tree->SetWd(tree->AddChild(node, event.name), static_cast<int>(event.cookie % 8));
    } else if (event.mask & IN_MOVED_FROM) {
        posix::MoveEnd end;
        end.wd = node->wd;
        end.mask = event.mask;
        end.cookie = event.cookie;
        end.name = std::string(event.name);
        end.node = tree->TakeChild(node, event.name);
        pairer->From(std::move(end));
        source->held.Reserve(event.cookie);
    } else if (event.mask & IN_MOVED_TO) {
        auto from = pairer->TakePartner(event.cookie);
        if (from && from->node) tree->Attach(from->node, node, event.name);
        if (from) Settle(source, {*from}, true);
    } else if (event.mask & IN_DELETE) {
        if (posix::DirNode* child = tree->Child(node, event.name)) tree->Remove(child);
    }
    tree->PathOf(node, event.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<posix::InotifyEvent> events;
    posix::ParseInotifyBuffer(reinterpret_cast<const char*>(data), size, &events);
    Source source;
    source.tree.SetWd(source.tree.Root(), 0);
    size_t index = 0;
    for (const posix::InotifyEvent& event : events) {
        Apply(&source, event);
        if (++index % 3 == 0) Settle(&source, source.pairer.EndOfRead(), false);
    }
    Settle(&source, source.pairer.TakeAll(), false);
    if (!source.held.Empty()) abort();
    return 0;
}
