/*
 * mailstore: mailbox facilities for small Unix mail tools.
 *
 * A line reader that hands out whole lines of any length, the From_ line
 * test, mailbox kinds and the name INBOX, mbox locking (fcntl record lock
 * plus a dot-lock file made by link), delivery into mbox files and
 * Maildirs, the user's home and mail directory with short display names,
 * a sorted tree of mailbox names filled by a directory scan, a driver that
 * rewrites mbox files and walks Maildir messages through caller filters,
 * a signal counter that stops the long-running loops, and mailbox sizes.
 *
 * Conventions: plain C linkage, process-wide state, no threads.  Results
 * are 1 for success and 0 for failure, a pointer or null, or -1 for a size
 * that cannot be taken; errno tells the failure.  Text returned by lookups
 * lives in library buffers that the caller never frees.  Paths the library
 * composes are at most MAILSTORE_PATH_MAX - 1 bytes long.
 */
#ifndef MAILSTORE_H
#define MAILSTORE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#define MAILSTORE_NODISCARD [[nodiscard]]
extern "C" {
#else
#define MAILSTORE_NODISCARD __attribute__((warn_unused_result))
#endif

/** Size of every path buffer of the library, its terminating zero included. */
#define MAILSTORE_PATH_MAX 1024

/* ---- Line reader ------------------------------------------------------- */

/** Number of streams the line reader serves at once. */
#define GLT_MAX 10

/** One entry of the line reader's table: the buffer of one stream. */
struct glt_entry {
	FILE *fp;          /**< stream served; null when the entry is free */
	char *buf;         /**< line buffer, owned by the table, never freed */
	uint64_t bufsize;  /**< size of buf: 1024, grown in steps of 1024 */
	int eof;           /**< 1 once a read of fp returned nothing */
	uint64_t len;      /**< length of the line last stored in buf, newline
	                        included; lines may hold NUL bytes */
};

extern struct glt_entry glt[GLT_MAX];
/** Entries of glt ever put into use (a high-water mark, at most GLT_MAX). */
extern int glcount;

/**
 * Next line of fp, always ending in "\n" (one is added to a last line
 * without it), followed by a zero byte.  The buffer belongs to the reader
 * and stays valid until the next read_line of the same stream.
 *
 * A line may hold NUL bytes: they are kept, and read_line_length() gives
 * the true length of the line.  A result is never empty.
 *
 * @returns the line, or null at the end of the input, after a read error,
 *          or when the table is full (errno ENOMEM, warning
 *          "glcount==GLT_MAX") or a buffer cannot be allocated or grown
 *          (warning, errno from the allocator).
 */
MAILSTORE_NODISCARD char *read_line(FILE *fp);

/** Length in bytes, newline included, of the line read_line last returned
 *  for fp; 0 when fp has no entry. */
MAILSTORE_NODISCARD uint64_t read_line_length(FILE *fp);

/** The caller is done with fp: its entry may serve another stream. */
void read_line_done(FILE *fp);

/* ---- From_ lines ------------------------------------------------------- */

/**
 * @returns 1 when line begins with "From" and a whitespace byte (strict
 *          == 0), or when it moreover holds a sender and a date in the
 *          traditional form (strict != 0); else 0.  Bytes 0x80-0xFF are in
 *          no character class.
 */
MAILSTORE_NODISCARD int is_from_line(const char *line, int strict);

/* ---- Mailbox kinds and INBOX ------------------------------------------- */

/** @returns 1 when path is a directory holding the directories new, tmp
 *          and cur, else 0 (also when a composed name would not fit). */
MAILSTORE_NODISCARD int is_maildir(const char *path);

/** @returns $MAIL when set, else "/var/mail/" and the login name of the
 *          real user id in a library buffer; null when there is no password
 *          entry or the path does not fit. */
MAILSTORE_NODISCARD const char *system_mailbox(void);

/** @returns name itself, or system_mailbox() when name is exactly "INBOX". */
MAILSTORE_NODISCARD const char *resolve_mailbox_name(const char *name);

/* ---- Locking ----------------------------------------------------------- */

/** Signals counted by count_signal(); the library's waits and loops stop
 *  once it is above zero. */
extern volatile int64_t signal_count;

/** The host name used in lock and delivery file names; filled on first use. */
extern char cached_hostname[256];

/** Why the last mbox lock call with a path made no dot-lock file: 0 when
 *  it made one (or this process held it already), else an errno value
 *  (EEXIST: held by another past the waits; EACCES, EROFS and the like:
 *  the directory refuses it; EINTR: a counted signal ended the waits;
 *  ENOLCK: this process holds as many dot-locks as it can track).  Only
 *  meaningful after a lock call that returned 1; the library writes no
 *  message about it. */
extern int dot_lock_error;

/** Operation codes of mailboxlock(). */
#define MAILBOX_LOCK 1
#define MAILBOX_RELEASE 2

/**
 * Locks (op 1) or releases (op 2) the mbox file path open on fd, or, for a
 * Maildir delivery file (maildir != 0, op 2, fd -1), moves it from tmp into
 * new and syncs new.
 *
 * A lock waits up to 12.8 s for the record lock and up to 10.8 s more for
 * the dot-lock file; a counted signal ends the waits.  Only the record lock
 * decides the result: a dot-lock that cannot be made (held elsewhere, no
 * write permission beside the mailbox) leaves the mailbox held by the
 * record lock alone, and dot_lock_error says why.  A failed lock leaves no
 * file behind.  A path whose lock names would not fit MAILSTORE_PATH_MAX
 * fails with ENAMETOOLONG.
 *
 * The dot-lock file holds the process id of its maker in decimal and a
 * newline.  A dot-lock is stale, and removed, when it is more than 1800 s
 * old by its status-change time, or, on a local file system, when it
 * names a process that no longer exists.  It is removed only if it is
 * still the file judged stale.
 *
 * A release removes only a dot-lock file this process made and that is
 * still the same file.  The release of an mbox file uses only
 * async-signal-safe calls: a signal handler may call it.
 *
 * @returns 1 on success (for a lock: the record lock is held; for a
 *          commit: the file is in new), 0 with errno set on failure (for a
 *          commit: the file is still, or again, in tmp).
 */
MAILSTORE_NODISCARD int mailboxlock(const char *path, int maildir, int fd, int op);

/** One non-blocking fcntl F_SETLK of type (F_WRLCK, F_RDLCK or F_UNLCK)
 *  over the whole file.  @returns 0, or -1 with errno set. */
MAILSTORE_NODISCARD int set_record_lock(int fd, int type);

/* ---- Delivery ---------------------------------------------------------- */

/**
 * Opens name ("INBOX" for the system mailbox) for the delivery of one
 * message: an mbox file locked and positioned at its end, or a new file in
 * a Maildir's tmp.  *locked_path receives a heap copy of the path to pass
 * to mailboxlock(*locked_path, *maildir, -1, MAILBOX_RELEASE) once the
 * stream is closed.
 *
 * An mbox file is opened without blocking, and only a regular file is
 * taken: a FIFO or a device fails at once with EINVAL (a directory or a
 * socket with the errno of open, EISDIR or ENXIO).  Its descriptor is
 * open for reading as well when the file permits it, so that the caller
 * may look at what the mailbox ends with.
 *
 * @returns the stream, or null with errno set (nothing left open, locked
 *          or created in tmp).
 */
MAILSTORE_NODISCARD FILE *open_mailbox(const char *name, char **locked_path, int *maildir);

/* ---- Home and mail directory ------------------------------------------- */

/** @returns $HOME, or the home directory of the real user id.  Ends the
 *           process (status 1) when there is none. */
MAILSTORE_NODISCARD const char *home_dir(void);

/** @returns $POSTKIT_DIR, or ~/mail, or ~/Mail, whichever comes first.
 *           Ends the process (status 1) when there is none. */
MAILSTORE_NODISCARD const char *mail_dir(void);

/** @returns path with the mail directory written "=" and the home
 *           directory "~", a Maildir with a trailing "/"; valid until the
 *           next call. */
MAILSTORE_NODISCARD const char *short_mailbox_name(const char *path);

/* ---- Mailbox tree ------------------------------------------------------ */

/** A node of an unbalanced search tree of names in byte order. */
struct tree {
	char *name;          /**< the node's own copy of the name */
	struct tree *left;   /**< names sorting before this one, or equal */
	struct tree *right;  /**< names sorting after this one */
};

/** Adds a copy of name below *tp.  Ends the process when out of memory. */
void add_to_tree(struct tree **tp, const char *name);
/** Adds every name of a null-ended array. */
void add_all_to_tree(struct tree **tp, const char *const *names);
/** Frees a tree and its names; the caller's root pointer is not reset. */
void free_tree(struct tree *t);
/** Calls fn with each name in byte order until a signal is counted. */
void walk_tree(struct tree *t, void (*fn)(const char *name));
/** Adds every mailbox found below dir (Maildirs and regular files; hidden,
 *  .gz and lock files and directories named "archive" are skipped).
 *  Symbolic links are followed; a link back to a directory being scanned
 *  is reported ("directory loop, skipping") and not followed.  Ends the
 *  process when a directory cannot be opened. */
void scan_mail_dir(struct tree **tp, const char *dir);

/* ---- Rewriting driver and signals -------------------------------------- */

/** The mailbox rewrite_mailboxes() is working on ("stdin" for none). */
extern const char *current_mailbox;

/** Rewrites in to out: 0 failure (errno), 1 replace, 2 keep, 3 failure
 *  already reported. */
typedef int (*mbox_filter_fn)(FILE *in, FILE *out);
/** Looks at one Maildir message: 2 next, 4 delete, 3 stop, 0 failure. */
typedef int (*maildir_filter_fn)(int first, const char *name, FILE *message);

/** Runs every mailbox of the null-ended list through the filters, or the
 *  mbox filter once from stdin to stdout for an empty list.  An mbox is
 *  replaced only on result 1 and only once its new content is synced and
 *  closed; any result outside 0-3 keeps it and counts as a failure.  The
 *  working directory is restored after each Maildir.
 *  @returns 1 when nothing failed, else 0. */
MAILSTORE_NODISCARD int rewrite_mailboxes(const char *const *paths, mbox_filter_fn mbox_filter,
                                          maildir_filter_fn maildir_filter);

/** Signal handler: counts the signal; the third one ends the process with
 *  status 2. */
void count_signal(int sig);

/* ---- Sizes ------------------------------------------------------------- */

/** Value str_to_int() gives for a number that does not fit 32 bits. */
#define STR_TO_INT_OVERFLOW 0xffffffffu

/** @returns the size in bytes of an mbox file, or of the messages in a
 *           Maildir's new and cur; -1 with errno set when it cannot be
 *           taken (EOVERFLOW when it does not fit an int). */
MAILSTORE_NODISCARD int mailbox_size(const char *path);
/** @returns the summed size of the regular files in maildir/subdir, or -1. */
MAILSTORE_NODISCARD int maildir_subdir_size(const char *maildir, const char *subdir);
/** @returns the number in s (as strtol base 0) in 32 bits with an optional
 *           k, m or g suffix; STR_TO_INT_OVERFLOW when the scaled value
 *           does not fit 32 bits or the number lies outside -2147483648 to
 *           4294967295.  Warns about other trailing text; errno is kept. */
MAILSTORE_NODISCARD uint32_t str_to_int(const char *s);

#ifdef __cplusplus
}
#endif

#endif /* MAILSTORE_H */
