// Readers of the buffer library and of the net, the tree linker and checker,
// the tree listing and the final net writer.
//
// Both readers split their input into lines of any length (a last line without
// a newline counts), recognise a line by its first characters ("buff";
// "wire_re", "wire_ca", "driv", "sink", "cand", "edge") and ignore every other
// line. Input errors end the process with status 1 after a message naming the
// file and line ("file:line: what is wrong") on standard error.
#pragma once

#include <cstdio>
#include <string>

#include "def.h"

// Reads the buffer library from an open stream; `name` is used in messages.
void InputLib(FILE *flib, const std::string &name);

// Reads the net from `in`: fills the node and edge tables and the wire and
// driver constants, links the tree and checks its shape. Returns the root.
Node *read_net(FILE *in, const std::string &name);

// The whole net reading step of a run: prints the parsing banner, reads the net
// from the global fp, asks for the wire-segmenting coefficient on standard
// input and segments when it is not 0. Returns the root.
Node *Input(const std::string &name);

// Reads one integer answer from standard input as "%d" does, without letting a
// value that does not fit an int wrap into another one.
enum AnswerKind { ANSWER_NONE, ANSWER_INT, ANSWER_OUT_OF_RANGE };
AnswerKind read_answer(int *value);

// Sets left/right of every node from the edge table (first edge leaving a node
// gives left, the second right). Linear time. Returns the record at position 0.
Node *produce_tree();

// Pre-order listing of the subtree at p on standard output.
void ntree_print(Node *p);

// Rewrites `name` in place: everything after its last '.' becomes `suffix`, or
// "." + suffix is appended when it has no '.'.
void replace_extension(std::string &name, const char *suffix);

// Writes the final net file (name derived from the global filename, which is
// rewritten in place) with the tree as it stands, segment nodes included.
void Printoutput(Node *p);

// Writes the edge lines of the subtree at p in pre-order, both edges of a
// branching node before either subtree.
void edge_print(FILE *stream, Node *p);

// Prints "bufins: <message>" on standard error and ends the run with status 1.
[[noreturn]] void fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Prints "<file>:<line>: <message>" on standard error and ends the run with
// status 1.
[[noreturn]] void input_error(const std::string &file, long line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
