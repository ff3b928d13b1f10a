// The work loop: takes assignment lines from worktodo.txt, searches each
// exponent of a line, logs summaries to results.txt and removes finished lines.
#include "driver/work_loop.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "boinc/boinc_adapter.h"
#include "driver/run_config.h"
#include "driver/stop_signals.h"
#include "fatal_exit.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_sieve.h"
#include "verify/proof_bits.h"
#include "verify/rejected_hits.h"
#include "workfiles/assignment.h"
#include "workfiles/checkpoint.h"
#include "workfiles/durable_file.h"
#include "workfiles/line_removal.h"
#include "workfiles/proof_log.h"
#include "workfiles/run_log.h"
#include "workunit/boinc_workunit.h"

namespace {

// Whether the line's run log holds the summary of nCurrent already: a stop
// after it, before the checkpoint of the next exponent, repeats the search.
bool exponentSummaryLogged() {
    char counted[40], start[100];
    snprintf(counted, sizeof counted, "n=%u: tested ", nCurrent);
    FormatStartRecord(start, sizeof start);
    return LineLogHolds(start, counted);
}

// The proof block of nCurrent, from kCurrent on: t from the candidates the
// whole range of the line is expected to leave, so that a resumed search
// keeps the t it began with.
void beginProofs() {
    const uint64_t oddCount = kStart <= kEnd ? (kEnd - kStart) / 2 + 1 : 0;
    proofBits = ProofBitsFor(ExpectedTested(oddCount, primeTable, primeCount));
    BeginProofBlock(nCurrent, proofBits, kCurrent, exponentSummaryLogged());
}

void logExponentSummary() {
    char rejected[80];
    RejectedHitsNote(rejected, sizeof rejected);
    char summary[320];
    snprintf(summary, sizeof summary, "\nn=%u: tested %llu of %llu numbers (%5.2f%%) in %.2f seconds at %.0f/sec%s\n",
             nCurrent, static_cast<unsigned long long>(kTested), static_cast<unsigned long long>(rangeK), testedPct,
             seconds, testedRate, rejected);
    fputs(summary, stdout);
    fflush(stdout);
    // A stop between this record and the checkpoint of the next exponent
    // has the exponent searched again: the line's records keep the summary
    // they already have.
    if (exponentSummaryLogged()) return;
    // The run log gets the same record without the leading blank line.
    AppendRecord(RESULTS_FILE, summary + 1, true);
}

// The record goes before the line's removal, so a stop in between can only
// repeat it; a line resumed with every exponent searched has it already when
// the run log ends with its closing rule.
void logRangeEnd(bool resumedSearched) {
    if (resumedSearched && LastLineBeginsWith(RESULTS_FILE, RUN_LOG_RULE)) return;
    char record[240];
    if (foundFactors != 0)
        snprintf(record, sizeof record, "Range is complete. Found %d factor(s). For details see file factors.txt\n%s\n",
                 static_cast<int>(foundFactors), RUN_LOG_RULE);
    else
        snprintf(record, sizeof record, "Range is complete. No factors found.\n%s\n", RUN_LOG_RULE);
    // One append: a stop cannot leave the record without its rule.
    AppendRecord(RESULTS_FILE, record, false);
}

// Under BOINC the run log tells the validator which sieve the exponents got:
// results of different sieves test different counts of the same range.
void logSieveConfiguration() {
    char record[160];
    snprintf(record, sizeof record, "Sieve configuration: kernel %s, prime count %u\n", kernel->name, primeCount);
    // Nothing moves on because of it: the next summary's flush takes it along.
    AppendRecord(RESULTS_FILE, record, false, false);
}

// Says where a stop signal ended the search (the checkpoint holds that
// place) and ends the process by the signal.
[[noreturn]] void stopAt(uint32_t n, uint64_t k) {
    printf("\nStopped by signal %d (%s) at n=%u, k=%llu; the next start continues there.\n",
           static_cast<int>(stopSignal), strsignal(stopSignal), n, static_cast<unsigned long long>(k));
    EndByStopSignal();
}

// Searches every remaining exponent of the loaded line, then removes it.
int workLine() {
    const bool resumedSearched = nCurrent > nEnd;
    if (!resumedSearched) {
        ConfigureRun();
        if (BOINC_BUILD) logSieveConfiguration();
    }
    rangeK = kEnd + 1 - kStart;
    StartCheckpointClock();
    rejectedHitsInLine = 0;

    while (nCurrent <= nEnd) {
        // Nothing of this exponent is searched yet: the checkpoint on disk (or
        // none, at a line's fresh start) already leads back here.
        if (stopSignal) stopAt(nCurrent, kCurrent);
        printf("\nTesting for n = %d\n", static_cast<int>(nCurrent));
        StartSearchTime();
        beginProofs();
        if (!Sieve(kCurrent, kEnd)) stopAt(nCurrent, kCurrent);
        AccountSearchTime();
        // The block closes before the summary: a run log that has the
        // summary has the whole block.
        EndProofBlock(kTested, primeCount);
        testedPct = static_cast<double>(kTested) * 100.0 / static_cast<double>(rangeK);
        testedRate = static_cast<double>(rangeK) / seconds;
        logExponentSummary();

        kTested = 0;
        rejectedHits = 0;
        seconds = 0;
        kCurrent = kStart;
        ++nCurrent;

        // A stop from here on never repeats an exponent already summarised.
        // Without this checkpoint on disk the line's closing record would be
        // written while a restart still searches the exponent again.
        if (!CheckpointIfDue(kCurrent, CHECKPOINT_EXPONENT_DONE)) {
            fprintf(stderr,
                    "\nCan't save the end of exponent n=%u in %s. Stopping; the next start searches it again and "
                    "keeps its summary.\n",
                    nCurrent - 1, CHECKPOINT_FILE);
            FatalExitRetryLater(1, "the checkpoint cannot be written");
        }
    }

    ReleasePrimeTable();
    // The line's closing record and its removal go together: a result proves
    // its range finished by the closing record.
    BoincBeginCriticalSection();
    logRangeEnd(resumedSearched);
    int result = Delete_Assignment_Line(WORKTODO_FILE);
    BoincCheckpointWritten();
    BoincEndCriticalSection();
    return result;
}

// A line removed for a typo is otherwise gone without a trace: its text goes
// to the run log first, so the user can see which assignment it was and mend it.
int removeLineAsRead() {
    char record[120];
    snprintf(record, sizeof record, "Removed line: %s\n", assignmentLineText);
    fputs(record, stdout);
    AppendRecord(RESULTS_FILE, record, false);
    return Delete_Assignment_Line(WORKTODO_FILE);
}

// Announced only once it is gone: one that stays would meet the line again
// on every start.
int removeObsoleteCheckpoint() {
    std::string reason;
    if (!RemoveDurably(CHECKPOINT_FILE, &reason)) {
        fprintf(stderr, "\nCan't remove obsolete checkpoint file %s: %s. Stopping.\n", CHECKPOINT_FILE,
                reason.c_str());
        return -1;
    }
    printf("\nRemoved obsolete checkpoint file quilbrex.cpt and continue.\n");
    return 0;
}

// A run killed before its flushes leaves files whose latest content is not on
// disk yet; acting on it (a line that follows a removal, a record already
// there) and then losing it to a power cut would repeat or skip work. What
// this process writes it flushes itself, so once at the start is enough.
void flushInheritedWorkFiles() {
    for (const char* name : {WORKTODO_FILE, CHECKPOINT_FILE, RESULTS_FILE, FACTORS_FILE, PROOFS_FILE}) {
        std::string reason;
        if (FlushExisting(name, &reason)) continue;
        fprintf(stderr, "\nCan't flush %s to disk: %s. Stopping before it is used.\n", name, reason.c_str());
        FatalExitRetryLater(1, "a work file cannot be flushed");
    }
}

}  // namespace

int WorkLoop() {
    flushInheritedWorkFiles();
    for (;;) {
        if (stopSignal) {
            printf("\nStopped by signal %d (%s) between assignment lines.\n", static_cast<int>(stopSignal),
                   strsignal(stopSignal));
            EndByStopSignal();
        }
        BoincBeginCriticalSection();
        int result = Read_Assignment_Line(WORKTODO_FILE);
        BoincEndCriticalSection();
        if (result == ASSIGNMENT_OK) BoincLineLoaded(WORKTODO_FILE);
        switch (result) {
            case ASSIGNMENT_EMPTY_FILE:
                // A stop between the last line's removal and its checkpoint's
                // left the checkpoint of a finished line: with no line after
                // it nothing else would ever remove it.
                if (CheckpointOfFinishedLine()) RemoveLeftoverCheckpoint();
                printf("\nNo available assignments found in worktodo file.\n");
                break;
            case ASSIGNMENT_CORRUPT_CHECKPOINT:
                result = 1;
                break;
            case ASSIGNMENT_BLANK_LINE:
                printf("\nRemoved blank line from worktodo file.\n");
                result = removeLineAsRead();
                break;
            case ASSIGNMENT_FOREIGN_LINE:
                printf("\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n");
                result = removeLineAsRead();
                break;
            case ASSIGNMENT_INVALID_LINE:
                printf("\nRemoved a line with incorrect start or end values of k or n.\n");
                result = removeLineAsRead();
                break;
            case ASSIGNMENT_OBSOLETE_CHECKPOINT:
                result = removeObsoleteCheckpoint();
                break;
            default:
                result = workLine();
                break;
        }
        if (result == 0) continue;
        if (result == ASSIGNMENT_FILE_NOW_EMPTY)
            printf("\nNo more assignments found in worktodo file. Work is done.\n");
        return result;
    }
}
