// The names of the files the program works with, all in the working folder.
#pragma once

constexpr const char* WORKTODO_FILE = "worktodo.txt";
constexpr const char* CHECKPOINT_FILE = "quilbrex.cpt";
constexpr const char* RESULTS_FILE = "results.txt";
constexpr const char* FACTORS_FILE = "factors.txt";
constexpr const char* PROOFS_FILE = "proofs.txt";
// Names the process that holds the folder's lock, for a second instance to show.
constexpr const char* LOCK_FILE = "quilbrex.lock";
