#pragma once

// The steps of a file's update where memory may run out: a delta update's,
// which take much of it, and the loader's scheduler between files. A test
// can choose one to throw std::bad_alloc, as running out of memory there
// would; in the launcher none is chosen, and each check is one atomic load.
enum class DeltaStep {
    None,
    ReadSidecar, // on the update's own thread
    BuildIndex,  // on the update's worker thread
    ScanOldCopy, // on each of the scan's threads
    Assemble,    // on the update's worker thread, its hashing threads running
    Schedule,    // in the loader's scheduler, taking a hashed file, on the loader's thread
};

void setFailingDeltaStep(DeltaStep step);
// Throws std::bad_alloc when `step` is the chosen one.
void failIfChosen(DeltaStep step);
