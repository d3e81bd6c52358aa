// The spool of a run with -d: unlinked temporary files in $TMPDIR (else
// /tmp) that hold the message while its diffs are fetched, and the bodies
// of the diffs until the message is written out.
//
// Each transfer under way writes into a slot file of its own; when it ends,
// what it kept is appended to the one store file, where it waits for its
// turn in the message.  A slot is emptied and reused for the next transfer,
// so a run never has more than one slot per transfer running at once.
#ifndef REVNOTE_SPOOL_H
#define REVNOTE_SPOOL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The directory the spool files are made in: $TMPDIR, else /tmp.
const char *spool_directory();
// "spool directory " and that directory, for messages.
const char *spool_place();
// A new temporary file, already unlinked, open for reading and writing;
// -1 with errno set when it cannot be made.
int open_spool_file();
// Ends the run on a failed op on a spool file, with the directory named
// after it ("mkstemp (spool directory /tmp)").
[[noreturn]] void spool_failed(const char *op);

struct spool_slot {
	int fd = -1;
	bool busy = false;
	std::uint64_t limit = 0;   // bytes the slot takes of a body
	std::uint64_t stored = 0;  // bytes it holds
	bool more = false;         // the body went on past the limit
	int write_errno = 0;       // a write failed: the transfer was stopped
	std::size_t owner = 0;     // index of the diff it is fetching, for the caller
};

// A free slot, emptied, with the given limit.  Fatal ("mkstemp") when its
// file cannot be made.
spool_slot *acquire_slot(std::uint64_t limit);
void release_slot(spool_slot *slot);
// The sink of a transfer into a slot (a fetch_sink_fn): takes the body up
// to the slot's limit and stops the transfer at the first byte beyond it.
extern "C" int slot_sink(void *slot, const char *data, std::size_t n);
// Appends what the slot holds to the store; returns where it begins there.
// Fatal when the store cannot be made or written.
off_t keep_slot(const spool_slot *slot);
// The store for reading, positioned anywhere.  Fatal when it cannot be
// opened as a stream.
FILE *stored_bodies();
// Empties the store once its bodies are written: the next ones start it
// afresh.
void forget_stored_bodies();
// Bytes the store holds.
std::uint64_t stored_size();

#endif
