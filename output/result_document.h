// The per-target result document: one RESULT element per row of a job, the
// name of the file it is saved in, and the saving.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output/result_row.h"
#include "output/xml_document.h"

// Appends one RESULT (OID with VER when a version is known, then VALUE) per
// row, in the map's iteration order: the result document as a tree, whose
// layout (CXmlDocument::Write) is byte for byte what WriteResultRows writes. Row texts are in the locale's
// code set and are converted to UTF-8 on the way in. Returns false at the first
// row that cannot become an element, with the cause in *error (if given), as
// the document's element operations give it. Any thread (the document's own).
// extras adds NAME on OID, TYPE and ENCODING on VALUE (each after the
// designed attribute); without them every byte is as designed.
bool AddResultRows(CXmlDocument& doc, const ResultRows& rows, std::string* error = nullptr,
                   const RowExtras& extras = {});

// Lays out the result document of the rows straight from them, without a
// tree: every byte as CXmlDocument writes the document AddResultRows builds
// (the same conversion and clean-up of every text, the same escapes, one
// element per line indented by tabs). Hands the text to sink in pieces of at
// most 64 KiB (a longer text in one piece of its own); returns false once
// sink refuses a piece, handing it nothing more. Any thread.
bool WriteResultRows(const ResultRows& rows, const XmlSink& sink, const RowExtras& extras = {});

// Writes the result document of the rows (WriteResultRows) to path as a
// whole, streamed through an AtomicFileWriter: a reader sees the old file or
// the new one, a second writer of the same path at the same time fails, and
// nothing is written through a symbolic link. Returns false when the save
// fails, path then untouched, with the cause in *error (if given). Prints
// nothing. Any thread.
bool SaveResultDocument(const std::string& path, const ResultRows& rows,
                        std::string* error = nullptr, const RowExtras& extras = {});

// Saves the rows of target to path (SaveResultDocument) and prints
// "output: <path>", or "output error" with "<target>|output error: <cause>"
// logged. Returns true when the file was written. Any thread.
bool WriteResultFile(const std::string& path, const std::string& target, const ResultRows& rows,
                     const RowExtras& extras = {});

// "<dir>/<target><suffix>.xml", the suffix being "_[<oid>]" when oid is not
// empty. A "/" in target or oid becomes "_", so the file always lands
// directly in dir whatever the two texts hold. A name too long for the file
// system (with the room an atomic save needs) keeps its first bytes, cut at
// a character boundary, and ends in "~" and 16 hexadecimal digits of a hash of
// the whole name: the same target and oid always give the same name.
std::string ResultFilePath(const std::string& dir, const std::string& target,
                           const std::string& oid);

// The result file of each of targets, in order, all scanned with oid: the
// ResultFilePath of each, except that two different targets never get one
// path. When a target's name was already given to an earlier, different
// target of the list (as "a/b" and "a_b" both give "a_b"), the later one's
// name keeps its first bytes and ends in "~" and 16 hexadecimal digits of a
// hash of its text as given, like an over-long name. A target listed again
// gets the path it had the first time. The same list always gives the same
// paths.
std::vector<std::string> DistinctResultFilePaths(const std::string& dir,
                                                 const std::vector<std::string>& targets,
                                                 const std::string& oid);

// The target a result file's name gives (the inverse of ResultFilePath as
// far as the name allows): the name without ".xml" and, in the oid form,
// without "_[<oid>]", whose OID goes to *form_oid (else it is emptied). A
// "/" replaced by "_" and a shortened name stay as the file has them.
std::string TargetOfResultFile(std::string_view file_name, std::string* form_oid);
