// One subtree's bulk walk in several streams on the target's one session
// (Streams=N): the rows, their order and the walk's end are those of the
// walk in one stream.
//
// The subtree is cut into segments at split points, names inside it; a
// segment runs from the name after its start up to its split point, by
// GETBULK with its own lowering on tooBig and silence. The first segment
// starts as the walk in one stream does. Up to N segments have a request
// outstanding at once; as streams come free, a new one is split off the
// remaining range of a running one: after the table column its answers stay
// in, further down that column's indexes, or at the next sibling of its last
// name at the shallowest level inside the range (at most N - 1 splits at
// first, then one per 10 answers and half a one per segment that took four
// answers or more, so the packets stay close to those of one stream). A
// split down a column's indexes on the row that ends one of the segment's
// answers (a row other columns of the table showed, or a whole number of
// answers ahead in a dense index) costs no request and is not counted.
//
// Rows are stored only in the order of the one-stream walk: the first
// segment's answers go through the walk's own checks as they come; the
// others wait. A finished segment's successor is taken only when its first
// name is the one the finished segment met past its split point (or the
// finished segment ended on that point itself): then the one-stream walk
// would have asked what the successor asked. Otherwise the successor starts
// again after the last stored name. A segment that met an end (past the
// subtree, an exception, a name that does not increase, an error status, a
// time-out of a lone request) ends the walk when its turn comes; whatever
// lies after it is dropped, as the one-stream walk never reached it. An error
// status or time-out met by a segment that did not start after the stored
// rows is asked again from there first, as the one-stream walk would ask.
//
// A request that goes unanswered while others were outstanding proves
// nothing about the device but that it may drop concurrent requests: the
// target goes on in one stream for good, logged once ("<target>|streams:
// no answer with several requests outstanding; one stream"). An empty bulk
// answer or a failed exchange also hands the walk back to one stream, which
// asks again after the last stored name.
//
// The subtree the Walker walks next (Walk's then) starts as a stream of its
// own from the beginning, asking exactly what its own walk would ask first,
// and is split like the others; its answers wait. When this walk ends, the
// next one's requests still outstanding are let end, and what came is kept
// for the next walk, which takes it only when it is that subtree's over the
// same version in streams; it starts its streams from there instead of from
// its root. Anything else drops it.
//
// Thread safety: as the Walker's (one thread).
#pragma once

#include "scan/snmp_exchange.h"
#include "scan/walk.h"

// Walks the subtree of state's cursor in streams over the open session,
// going on from ahead (may be null; not kept) when it holds this subtree.
// Returns false when the walk is over (its rows stored, its end reported as
// the walk loop reports it), or true when the walk loop goes on in one
// stream from *state.
bool WalkInStreams(Walker* walker, SnmpExchange* session, int version, bool check_ordering,
                   StreamsAhead* ahead, WalkLoopState* state);
