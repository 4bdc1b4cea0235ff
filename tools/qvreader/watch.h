// card --watch: polls one reader, or several on one line, and prints each
// new card number once.
#pragma once

#include "link.h"

namespace qvreader {

struct WatchOptions {
    int intervalMs = 500;
    bool rearm = false;       // zero 40004-40007 after each card
    unsigned long count = 0;  // end after this many cards (0: never)
};

// Runs until Ctrl-C (status 0, or 1 when no reader ever answered) or count
// cards. Throws LinkError when the link cannot be opened at the start.
int Watch(Link &link, const Options &opt, const WatchOptions &w);

}  // namespace qvreader
