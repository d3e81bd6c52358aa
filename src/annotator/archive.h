// Annotating stored mail: every message of mbox files and Maildirs, in
// place, each exactly as revnote would annotate it alone.
//
// An mbox goes through the library's rewriting driver: locked for the
// whole rewrite, written to a temporary file beside it, synced and renamed
// over it, so that it is at every moment the old mbox or the new one.  A
// Maildir's messages are replaced one by one: each annotated message is
// written into tmp/, given the message's owner, group, mode and times,
// synced, and exchanged with its original name, or with the name a mail
// reader gave it meanwhile; a message not done is counted and fails the
// run.
//
// Every message is looked at first with the annotation watching for
// revnote's own lines: one that carries them already is left as it is, so
// a second run changes nothing.  With -d the diffs of many messages are
// fetched side by side with one pool, the messages waiting in the spool
// (bounded by batches) until their diffs are in.
#ifndef REVNOTE_ARCHIVE_H
#define REVNOTE_ARCHIVE_H

#include "message.h"

struct archive_options {
	message_options message;  // the base URLs
	bool progress;            // standard error is a terminal: show where the run stands
};

// Annotates the mailboxes paths (ended by a null pointer); false when any
// of them, or any message in them, could not be rewritten.
bool annotate_archive(const char *const *paths, const archive_options &opt);

#endif
