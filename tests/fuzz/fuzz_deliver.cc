// Fuzzes delivery into an mbox: revnote -q -f, run in process, appends
// the input to a scratch mbox that ends in a newline, ends in a torn line
// or is empty (the first byte picks).  Read as a mail reader reads it (a
// message begins at each line starting "From "), the mbox must hold the
// old messages unchanged and one more, whose lines are the input's, each
// unchanged or, being a From_ line, quoted with ">"; no lock file is left.
//
// -f quotes From_ lines of the body only, so a header line that begins
// with "From " starts a message for a reader: such lines are not
// generated (their "F" is lower-cased), nor a first line of "From" and a
// white-space byte other than a blank, which -f takes for the From_ line.
// Commit tables are fuzz_annotate's: "Revision" opening a line's text is
// lower-cased, so that every line written is one of the input's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#define REVNOTE_VERSION "fuzz"
#define main revnote_main
#include "revnote.cc"
#undef main

namespace {

constexpr char old_messages[] = "From a@x Mon Jan  1 00:00:00 2024\n\none\n>From x\n\n"
                                "From b@x Mon Jan  1 00:00:01 2024\n\ntwo\n\n";
constexpr char fixed_from[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";

std::string scratch;  // directory, removed at exit

void remove_scratch()
{
	(void)unlink((scratch + "/mbox").c_str());
	(void)unlink((scratch + "/input").c_str());
	(void)rmdir(scratch.c_str());
}

bool begins(const std::string &s, const char *p) { return s.compare(0, std::strlen(p), p) == 0; }
bool loose_from(const std::string &l) { return l.size() >= 5 && begins(l, "From") && std::strchr(" \t\n\v\f\r", l[4]); }

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string l; std::getline(in, l);)
		lines.push_back(l + "\n");
	return lines;
}

std::size_t reader_count(const std::string &mbox)
{
	std::size_t n = 0;
	for (const auto &l : lines_of(mbox))
		n += begins(l, "From ");
	return n;
}

void check(bool ok)
{
	if (!ok)
		std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	if (scratch.empty()) {
		const char *t = std::getenv("TMPDIR");
		scratch = std::string(t != nullptr && *t != '\0' ? t : "/tmp") + "/fuzz_deliver.XXXXXX";
		check(mkdtemp(scratch.data()) != nullptr);
		std::atexit(remove_scratch);
	}
	const std::string path = scratch + "/mbox";
	std::string old = data[0] % 3 == 0 ? "" : old_messages;
	if (data[0] % 3 == 2)
		old += "From c@x Mon Jan  1 00:00:02 2024\n\nthe append was cu";

	std::string raw(reinterpret_cast<const char *>(data) + 1, size - 1);
	std::vector<std::string> lines = lines_of(raw);
	if (loose_from(lines[0]) && lines[0][4] != ' ')
		lines[0][0] = 'f';
	for (std::size_t i = 1; i < lines.size() && lines[i] != "\n"; i++)
		if (begins(lines[i], "From "))
			lines[i][0] = 'f';
	std::string input;
	for (auto &l : lines) {
		std::size_t text = l.find_first_not_of(" \t\n\v\f\r");
		if (text != std::string::npos && l.compare(text, 8, "Revision") == 0)
			l[text] = 'r';
		input += l;
	}
	if (raw.back() != '\n')
		input.pop_back();  // the reader adds the last newline

	std::ofstream(path, std::ios::binary) << old;
	// revnote reads descriptor 0: the input goes there from a file.
	const std::string input_path = scratch + "/input";
	std::ofstream(input_path, std::ios::binary) << input;
	int saved = dup(STDIN_FILENO);
	int in = open(input_path.c_str(), O_RDONLY);
	check(saved >= 0 && in >= 0 && dup2(in, STDIN_FILENO) == STDIN_FILENO);
	(void)close(in);
	input_reset();
	std::string a0 = "revnote", a1 = "-q", a2 = "-f", a3 = path;
	char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
	optind = 0;  // glibc: getopt starts afresh
	check(revnote_main(4, argv) == 0);
	check(dup2(saved, STDIN_FILENO) == STDIN_FILENO);
	(void)close(saved);

	std::stringstream got;
	got << std::ifstream(path, std::ios::binary).rdbuf();
	std::string mbox = got.str();
	check(mbox.compare(0, old.size(), old) == 0 && reader_count(mbox) == reader_count(old) + 1);
	std::size_t pos = old.size() + (!old.empty() && old.back() != '\n');
	std::vector<std::string> written = lines_of(mbox.substr(pos));
	std::size_t w = loose_from(lines[0]) ? 0 : 1;
	check(w == 0 || written[0] == fixed_from);
	check(written.size() == lines.size() + w);
	for (std::size_t i = 0; i < lines.size(); i++, w++)
		check(written[w] == lines[i] || (loose_from(lines[i]) && written[w] == ">" + lines[i]));
	struct stat st;
	check(stat((path + ".lock").c_str(), &st) != 0);
	return 0;
}
