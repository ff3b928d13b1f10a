// The host's audit of the device sieve while it runs: chosen batches are
// sieved again on the host, on a thread of their own beside the batch loop,
// and must equal the device's candidate table entry for entry.
#pragma once

#include <cstdint>
#include <string>

// The share of one host core the audit may take on average; with it the
// batches after the first of a search are picked at random.
extern double auditCoreShare;
// Every batch audited (tests): the loop queues no batch while an audit is
// busy, so none goes unaudited.
extern bool auditEveryBatch;

// Whether the batch about to be queued is audited: always the first of a
// search, others at random as the share allows, none while an audit is busy.
// A chosen batch must be handed over by BeginAudit before the next choice.
bool ChooseAudit(bool firstOfSearch);
// A chosen batch that will not be audited after all (its batch was dropped).
void DropChosenAudit();
// Whether no audit is chosen or running.
bool AuditIdle();
// Hands the audit thread the batch of length odd k from a, for exponent n and
// the prime table in use, with what the device reported for it: count
// candidates over examined odd k, and its table of gridEntries entries (the
// count first, zeros after them), which must stay untouched until the audit
// is done. limit: the most candidates per batch.
void BeginAudit(const unsigned long long* table, uint32_t gridEntries, uint64_t a, uint32_t length, uint32_t n,
                uint32_t count, uint32_t examined, uint32_t limit);
// Whether the audit handed over last has ended.
bool AuditFinished();
// Waits for it and returns how the device's batch differs from the host's,
// empty when it does not.
std::string AuditOutcome();

// Audits run and the processor time they took, since the start.
uint32_t AuditsRun();
double AuditCpuSeconds();
