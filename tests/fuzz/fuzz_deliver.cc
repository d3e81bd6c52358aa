// Fuzzes delivery into an mbox: revnote -q -f, run in process on any
// message, appends it to a scratch mbox that already holds two messages
// (the first input byte picks whether the mbox ends in a newline, ends in
// the middle of a line as a torn append leaves it, or is empty).  Read as
// a mail reader reads an mbox (a message begins at every line that starts
// with "From "), the result must be the old messages unchanged and exactly
// one more, whose lines are those of the input, each unchanged or, being a
// From_ line, quoted with ">".  No lock file may be left.
//
// -f quotes From_ lines of the body only: a header line that begins with
// "From " stays as it is and a reader takes it for the start of a message.
// That is the rule, so such header lines are not generated: the fuzzer
// writes their "F" in lower case.  Likewise a first line of "From" and a
// white-space byte other than a blank counts as the message's From_ line
// (no fixed one is added), which a reader does not; it is lower-cased too.
// Commit tables are left to fuzz_annotate: a line whose text begins with
// "Revision" gets a lower-case "r", so that no table starts and every
// line written is one of the input's.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define main revnote_main
#include "revnote.cc"
#undef main

// A run keeps its compiled patterns until its process ends; here they
// are freed after each run (annotate.cc keeps them reachable there).
extern regex_t annotate_retained_patterns[2];

namespace {

constexpr char old_messages[] =
	"From a@example.org Mon Jan  1 00:00:00 2024\nSubject: one\n\nFirst body.\n>From quoted\n\n"
	"From b@example.org Mon Jan  1 00:00:01 2024\nSubject: two\n\nSecond body.\n\n";
constexpr char torn_tail[] = "From c@example.org Mon Jan  1 00:00:02 2024\nSubject: cut\n\nthe append was cu";
constexpr char fixed_from[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";

std::string scratch_dir;
std::string mbox_path;

void remove_scratch()
{
	(void)unlink(mbox_path.c_str());
	(void)rmdir(scratch_dir.c_str());
}

// A directory of its own under $TMPDIR (or /tmp), removed at exit.
const std::string &scratch_mbox()
{
	if (mbox_path.empty()) {
		const char *tmp = std::getenv("TMPDIR");
		std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz_deliver.XXXXXX";
		if (mkdtemp(dir.data()) == nullptr)
			std::abort();
		scratch_dir = dir;
		mbox_path = dir + "/mbox";
		std::atexit(remove_scratch);
	}
	return mbox_path;
}

bool starts_with(const std::string &s, const char *prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

bool is_space_byte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// "From" and a white-space byte: what -f takes for a From_ line.
bool loose_from(const std::string &line) { return line.size() >= 5 && starts_with(line, "From") && is_space_byte(line[4]); }

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::size_t pos = 0;
	while (pos < text.size()) {
		std::size_t nl = text.find('\n', pos);
		std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
		lines.push_back(text.substr(pos, end - pos));
		if (nl == std::string::npos)
			lines.back() += '\n';
		pos = end;
	}
	return lines;
}

std::size_t reader_message_count(const std::string &mbox)
{
	std::size_t n = 0;
	for (const auto &l : lines_of(mbox))
		n += starts_with(l, "From ");
	return n;
}

// The constraints above, applied to the message.
std::vector<std::string> constrained(std::vector<std::string> lines)
{
	if (!lines.empty() && loose_from(lines[0]) && lines[0][4] != ' ')
		lines[0][0] = 'f';
	for (std::size_t i = 1; i < lines.size() && lines[i] != "\n"; i++)
		if (starts_with(lines[i], "From "))
			lines[i][0] = 'f';
	for (auto &l : lines) {
		std::size_t text = l.find_first_not_of(" \t\n\v\f\r");
		if (text != std::string::npos && l.compare(text, 8, "Revision") == 0)
			l[text] = 'r';
	}
	return lines;
}

void check(bool ok)
{
	if (!ok)
		std::abort();
}

std::string read_all(const std::string &path)
{
	std::string s;
	FILE *fp = std::fopen(path.c_str(), "r");
	check(fp != nullptr);
	char buf[65536];
	std::size_t n;
	while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
		s.append(buf, n);
	std::fclose(fp);
	return s;
}

void run_revnote(const std::string &path, const std::string &input)
{
	FILE *saved = stdin;
	stdin = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
	check(stdin != nullptr);
	std::string a0 = "revnote", a1 = "-q", a2 = "-f", a3 = path;
	char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
	optind = 0;  // glibc: start getopt afresh
	check(revnote_main(4, argv) == 0);
	regfree(&annotate_retained_patterns[0]);
	regfree(&annotate_retained_patterns[1]);
	std::fclose(stdin);
	stdin = saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	std::string old;
	switch (data[0] % 3) {
	case 0: old = old_messages; break;
	case 1: old = std::string(old_messages) + torn_tail; break;
	default: break;
	}
	std::string raw(reinterpret_cast<const char *>(data) + 1, size - 1);
	std::vector<std::string> lines = constrained(lines_of(raw));
	std::string input;
	for (const auto &l : lines)
		input += l;
	if (raw.back() != '\n')
		input.pop_back();  // the reader gives the last line its newline

	const std::string &path = scratch_mbox();
	FILE *fp = std::fopen(path.c_str(), "w");
	check(fp != nullptr && std::fwrite(old.data(), 1, old.size(), fp) == old.size());
	std::fclose(fp);
	run_revnote(path, input);

	std::string got = read_all(path);
	check(got.compare(0, old.size(), old) == 0);
	std::size_t pos = old.size();
	if (!old.empty() && old.back() != '\n') {
		check(got[pos] == '\n');
		pos++;
	}
	check(reader_message_count(got) == reader_message_count(old) + 1);
	std::vector<std::string> written = lines_of(got.substr(pos));
	std::size_t w = 0;
	if (!loose_from(lines[0])) {
		check(!written.empty() && written[0] == fixed_from);
		w = 1;
	}
	check(written.size() - w == lines.size());
	for (std::size_t i = 0; i < lines.size(); i++, w++)
		check(written[w] == lines[i] || (loose_from(lines[i]) && written[w] == ">" + lines[i]));
	struct stat st;
	check(stat((path + ".lock").c_str(), &st) != 0);
	return 0;
}
