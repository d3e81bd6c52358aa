// A glance at a whole message in memory: what revnote-archive's watching
// pass would find, told without annotating the message where a few
// searches can tell it for sure.
//
// The annotation of a plain-text message (annotate.h) begins to act only at
// a commit table's header, at the line before "cvs rdiff" lines, at
// "Module name:" or at "Branch:".  A message without any of them gets
// nothing and holds no table.  One whose first such line opens a table or
// rdiff lines, with a line of revnote's own below its first file line or
// links gathered by -g at its end, is annotated already.  Anything else (MIME, a commit script's file lists,
// a first file line without our links below it) is left to the watching
// pass.
#ifndef REVNOTE_GLANCE_H
#define REVNOTE_GLANCE_H

#include <string_view>

enum class glance_result {
	no_table,  // the watching pass would see no table and add nothing
	already,   // it would see revnote's own lines below a file line
	unsure,    // only the watching pass can tell
};

// message: a whole message, its first line included, every line ending in
// a newline.
glance_result glance_at(std::string_view message);

#endif
