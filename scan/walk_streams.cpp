#include "scan/walk_streams.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/interrupt.h"

namespace {

using Name = std::vector<oid>;

Name NameOf(const netsnmp_variable_list* var) {
  return Name(var->name, var->name + var->name_length);
}

int Compare(const Name& a, const oid* b, size_t b_length) {
  return snmp_oid_compare(a.data(), a.size(), b, b_length);
}

// New segments: at most N - 1 at once, then one more per kAnswersPerSplit
// answers and half a one per segment that took kLongSegment answers or more
// (a split that paid: its waste, the part of its last answer past its end, is
// small beside it).
constexpr int kAnswersPerSplit = 10;
constexpr int kLongSegment = 4;
// Unsplit answers beyond this count no more in the choice of a segment.
constexpr int kMaxRank = 1000;
// How far down a column's indexes a split goes when where the column ends
// is not known: this many of the segment's answers.
constexpr oid kAnswersAhead = 8;

}  // namespace

// One segment of the subtree and the stream that walks it.
struct StreamSegment {
  enum class End { kNone, kSplit, kChain, kFailed };

  int subtree = 0;  // 0: this walk's; 1: the next walk's (Walk's then)
  Name split;       // its last name; empty: it runs to its subtree's end
  Name last;   // what its next request asks about
  // Its answers' variables (cloned lists) and how many of each belong to it.
  std::vector<std::pair<netsnmp_variable_list*, size_t>> answers;
  size_t stored = 0;  // answers whose variables went through the walk's checks
  Name first;         // the first name its answers brought; empty: none yet
  End end = End::kNone;
  Name past_split;  // kSplit: the name met past the split point; empty: ended on it
  ExchangeStatus failed_status = ExchangeStatus::kSuccess;  // kFailed
  netsnmp_pdu* failed_answer = nullptr;                     // kFailed with an error status
  // Its requests are those the one-stream walk sends (it started where the
  // stored rows end).
  bool anchored = false;
  int ticket = -1;       // of its request outstanding
  long repetitions = 0;  // that request's
  int timed_out_repetitions = 0;
  int answered = 0;
  int answered_at_split = 0;  // answered when it was last split
  // Where the two answers before the latest one left it: the part of the
  // name that the latest answers did not change is the column (or the
  // table, group ...) it is walking through.
  Name previous;
  Name before_previous;  // and the answer before that

  explicit StreamSegment(Name start) : last(std::move(start)) {}
  ~StreamSegment() { Clear(); }
  StreamSegment(const StreamSegment&) = delete;
  StreamSegment& operator=(const StreamSegment&) = delete;

  bool done() const { return end != End::kNone; }

  // Starts again after start, keeping the split point.
  void Restart(const oid* start, size_t length) {
    Clear();
    last.assign(start, start + length);
    first.clear();
    end = End::kNone;
    past_split.clear();
    timed_out_repetitions = 0;
    anchored = true;
  }

 private:
  void Clear() {
    for (auto& answer : answers) snmp_free_varbind(answer.first);
    answers.clear();
    stored = 0;
    if (failed_answer) snmp_free_pdu(failed_answer);
    failed_answer = nullptr;
  }
};

// The next walk's segments, kept while no request of theirs is outstanding.
struct StreamsAhead {
  Name root;
  int version = 0;
  std::deque<std::unique_ptr<StreamSegment>> segments;
  int splits = 0;
  int long_segments = 0;
  int answers = 0;
};

class StreamWalk {
 public:
  StreamWalk(Walker* walker, SnmpExchange* session, int version, bool check_ordering,
             WalkLoopState* state)
      : walker_(*walker),
        session_(*session),
        version_(version),
        check_ordering_(check_ordering),
        state_(*state),
        streams_(walker->settings_.streams) {
    const WalkCursor& cursor = state->cursor;
    bounds_[0].end.assign(cursor.end_bound, cursor.end_bound + cursor.root_length);
    bounds_[0].root_length = cursor.root_length;
    next_root_ = walker->then_;
    if (!next_root_.empty()) {
      bounds_[1].end = next_root_;
      ++bounds_[1].end.back();
      bounds_[1].root_length = next_root_.size();
    }
  }

  bool Run(StreamsAhead* ahead) {
    const WalkCursor& cursor = state_.cursor;
    Name root(cursor.name, cursor.name + cursor.name_length);
    Step step = Step::kGoOn;
    if (ahead && ahead->root == root && ahead->version == version_ && !ahead->segments.empty()) {
      segments_ = std::move(ahead->segments);
      splits_ = ahead->splits;
      long_segments_ = ahead->long_segments;
      answers_ = ahead->answers;
      for (auto& segment : segments_)
        if (step == Step::kGoOn && !segment->done()) step = Post(segment.get());
    } else {
      segments_.push_back(std::make_unique<StreamSegment>(std::move(root)));
      segments_.front()->anchored = true;
      step = Post(segments_.front().get());
    }
    while (step == Step::kGoOn) {
      step = Store();
      if (step != Step::kGoOn) break;
      if (walker_.LimitReached()) {
        walker_.cut_why_ = "limit reached";
        return false;
      }
      step = Grow();
      if (step != Step::kGoOn) break;
      int ticket = -1;
      netsnmp_pdu* response = nullptr;
      const ExchangeStatus status = session_.Collect(&ticket, &response);
      if (status == ExchangeStatus::kInterrupted || status == ExchangeStatus::kDeadline) {
        walker_.ReportFailedExchange(&session_, version_, status, nullptr);
        return false;
      }
      if (ticket < 0) {
        step = Step::kOneStream;
        break;
      }
      in_flight_.erase(ticket);
      if (stale_.erase(ticket) != 0) continue;
      for (auto& segment : segments_)
        if (segment->ticket == ticket) step = Take(segment.get(), status, response);
    }
    if (step == Step::kOver) {
      // The next walk's answers on their way are worth their wait.
      if (ahead_started_ && !platform::Interrupted()) HandBack(false);
      return false;
    }
    HandBack(true);
    return true;
  }

 private:
  enum class Step { kGoOn, kOver, kOneStream };

  // Where a segment's subtree ends.
  struct Bound {
    Name end;  // the name after the subtree
    size_t root_length = 0;
  };

  // Sends the segment's next request; while closing, leaves it for the next
  // walk to send.
  Step Post(StreamSegment* segment) {
    if (closing_) return Step::kGoOn;
    const long repetitions = segment->timed_out_repetitions > 0 ? 1 : walker_.BulkRepetitions();
    const SnmpName name = {segment->last.data(), segment->last.size()};
    int ticket = -1;
    const ExchangeStatus status = session_.Post(SNMP_MSG_GETBULK, &name, 1, repetitions, &ticket);
    if (status == ExchangeStatus::kInterrupted || status == ExchangeStatus::kDeadline) {
      walker_.ReportFailedExchange(&session_, version_, status, nullptr);
      return Step::kOver;
    }
    if (status != ExchangeStatus::kSuccess) return Step::kOneStream;
    if (!in_flight_.empty()) {
      overlapped_.insert(in_flight_.begin(), in_flight_.end());
      overlapped_.insert(ticket);
    }
    in_flight_.insert(ticket);
    segment->ticket = ticket;
    segment->repetitions = repetitions;
    return Step::kGoOn;
  }

  // The end of the segment's request, through the adaptation of the walk
  // loop.
  Step Take(StreamSegment* segment, ExchangeStatus status, netsnmp_pdu* response) {
    const int ticket = segment->ticket;
    segment->ticket = -1;
    const bool overlapped = overlapped_.erase(ticket) != 0;
    const long repetitions = segment->repetitions;
    const bool answer = status == ExchangeStatus::kSuccess;
    if (answer) walker_.tally_.NoteAnswer(version_);
    if (status == ExchangeStatus::kError) return Step::kOneStream;
    if (status == ExchangeStatus::kTimeout && overlapped) {
      if (!walker_.one_stream_)
        WriteLog("%s|streams: no answer with several requests outstanding; one stream",
                 walker_.target_.c_str());
      walker_.one_stream_ = true;
      return Step::kOneStream;
    }
    if (answer && response->errstat == SNMP_ERR_NOERROR && response->variables)
      walker_.bulk_answered_ = true;
    if (repetitions == 1 && status == ExchangeStatus::kTimeout) walker_.bulk_unanswered_ = true;
    if (repetitions > 1) {
      if (status == ExchangeStatus::kTimeout) {
        segment->timed_out_repetitions = static_cast<int>(repetitions);
        return Post(segment);
      }
      if (answer && response->errstat == SNMP_ERR_TOOBIG) {
        walker_.LowerBulkRepetitions(static_cast<int>(repetitions / 2));
        return Post(segment);
      }
    }
    if (segment->timed_out_repetitions > 0 && answer)
      walker_.LowerBulkRepetitions(segment->timed_out_repetitions / 2);
    segment->timed_out_repetitions = 0;
    // An empty answer: the walk loop teaches the device GETNEXT.
    if (answer && response->errstat == SNMP_ERR_NOERROR && !response->variables)
      return Step::kOneStream;
    if (!answer || response->errstat != SNMP_ERR_NOERROR) {
      segment->end = StreamSegment::End::kFailed;
      segment->failed_status = status;
      if (answer) segment->failed_answer = snmp_clone_pdu(response);
      if (answer && !segment->failed_answer) return Step::kOneStream;
      return Step::kGoOn;
    }
    ++answers_;
    Keep(segment, response->variables);
    return segment->done() ? Step::kGoOn : Post(segment);
  }

  // The answer's variables that belong to the segment, up to the first that
  // ends it.
  void Keep(StreamSegment* segment, netsnmp_variable_list* vars) {
    using End = StreamSegment::End;
    Name before = segment->last;
    const Name& end = bounds_[segment->subtree].end;
    size_t count = 0;
    const netsnmp_variable_list* before_var = nullptr;
    for (const netsnmp_variable_list* var = vars; var; before_var = var, var = var->next_variable) {
      if (segment->first.empty()) segment->first = NameOf(var);
      NoteIndex(before_var, var);
      if (Compare(end, var->name, var->name_length) <= 0) {
        ++count;  // past the subtree: the walk's checks end it there
        segment->end = End::kChain;
        break;
      }
      const int to_split =
          segment->split.empty() ? 1 : Compare(segment->split, var->name, var->name_length);
      if (to_split < 0) {
        segment->end = End::kSplit;
        segment->past_split = NameOf(var);
        break;
      }
      ++count;
      const int order = Compare(segment->last, var->name, var->name_length);
      if (IsException(var->type) || (check_ordering_ ? order >= 0 : order == 0)) {
        segment->end = End::kChain;
        break;
      }
      segment->last.assign(var->name, var->name + var->name_length);
      if (to_split == 0) {
        segment->end = End::kSplit;
        break;
      }
    }
    ++segment->answered;
    segment->before_previous = std::move(segment->previous);
    segment->previous = std::move(before);
    if (count == 0) return;
    netsnmp_variable_list* copy = snmp_clone_varbind(vars);
    if (copy) {
      segment->answers.emplace_back(copy, count);
    } else {
      // Out of memory: the walk loop asks for it again.
      segment->end = End::kFailed;
      segment->failed_status = ExchangeStatus::kError;
    }
  }

  // The row of b's table (its name taken as entry.column.index), and
  // where the table's columns end when a, the name before it in the answer,
  // is the last row of an earlier column.
  void NoteIndex(const netsnmp_variable_list* a, const netsnmp_variable_list* b) {
    if (IsException(b->type) || b->name_length < 3) return;
    const size_t column = b->name_length - 2;
    Table& table = tables_[Name(b->name, b->name + column)];
    table.indexes.insert(b->name[column + 1]);
    if (a && a->name_length == b->name_length && std::equal(a->name, a->name + column, b->name) &&
        a->name[column] < b->name[column])
      table.end = a->name[column + 1];
  }

  // Stores what the first segment brought and moves on to the next segment
  // when the one-stream walk would go on there.
  Step Store() {
    using End = StreamSegment::End;
    for (;;) {
      StreamSegment* head = segments_.front().get();
      while (head->stored < head->answers.size()) {
        const auto& [vars, count] = head->answers[head->stored++];
        const netsnmp_variable_list* var = vars;
        bool more = true;
        for (size_t i = 0; more && var && i < count; ++i, var = var->next_variable)
          more = walker_.AcceptVariable(var, &state_.cursor, true, check_ordering_);
        walker_.PublishRows();
        if (!more) return Step::kOver;
      }
      if (!head->done()) return Step::kGoOn;
      if (head->end == End::kFailed) {
        if (head->failed_status == ExchangeStatus::kError) return Step::kOneStream;
        if (!head->anchored) {
          // Met on a request the one-stream walk does not send: it asks its
          // own.
          head->Restart(state_.cursor.name, state_.cursor.name_length);
          return Post(head);
        }
        walker_.ReportFailedExchange(&session_, version_, head->failed_status, head->failed_answer);
        return Step::kOver;
      }
      // An end the walk's own checks did not see there.
      if (head->end == End::kChain || segments_.size() < 2) return Step::kOneStream;
      StreamSegment* next = segments_[1].get();
      if (!head->past_split.empty() && next->first != head->past_split) {
        if (next->first.empty() && !next->done()) return Step::kGoOn;  // its answer is to come
        // Not the name the one-stream walk meets there: ask after it.
        if (next->ticket >= 0) stale_.insert(next->ticket);
        next->ticket = -1;
        next->Restart(state_.cursor.name, state_.cursor.name_length);
        if (const Step step = Post(next); step != Step::kGoOn) return step;
      }
      if (head->answered >= kLongSegment) ++long_segments_;
      segments_.pop_front();
    }
  }

  // Splits new segments off running ones while streams are free.
  Step Grow() {
    if (!next_root_.empty() && !ahead_started_ && answers_ > 0 &&
        static_cast<int>(in_flight_.size()) < streams_) {
      // The next walk's first request, as that walk sends it: no waste. Not
      // before an answer showed that the device takes a request this size.
      ahead_started_ = true;
      segments_.push_back(std::make_unique<StreamSegment>(next_root_));
      segments_.back()->subtree = 1;
      segments_.back()->anchored = true;
      if (const Step step = Post(segments_.back().get()); step != Step::kGoOn) return step;
    }
    const int first = streams_ - 1;
    while (static_cast<int>(in_flight_.size()) < streams_) {
      // Splits that cost a request each, within the budget; those on an
      // answer's boundary cost none.
      const bool budget = splits_ - long_segments_ / 2 < first + answers_ / kAnswersPerSplit;
      size_t best = segments_.size();
      int best_rank = 0;
      bool best_aligned = false;
      Name best_split;
      for (size_t i = 0; i < segments_.size(); ++i) {
        const StreamSegment& s = *segments_[i];
        // Split again once an answer showed where it stands now.
        if (s.done() || s.answered == s.answered_at_split) continue;
        int kind = 0;
        bool aligned = false;
        Name split;
        if (!SplitPoint(s, &kind, &split, &aligned) || (!aligned && !budget)) continue;
        // A long column first; then the segment that went longest unsplit.
        const int rank =
            kind < 2 ? kind : 2 + kMaxRank - std::min(kMaxRank, s.answered - s.answered_at_split);
        if (best == segments_.size() || rank < best_rank) {
          best = i;
          best_rank = rank;
          best_aligned = aligned;
          best_split = std::move(split);
        }
      }
      if (best == segments_.size()) break;
      auto fresh = std::make_unique<StreamSegment>(best_split);
      fresh->subtree = segments_[best]->subtree;
      fresh->split = std::move(segments_[best]->split);
      segments_[best]->split = std::move(best_split);
      segments_[best]->answered_at_split = segments_[best]->answered;
      StreamSegment* posted = fresh.get();
      segments_.insert(segments_.begin() + static_cast<long>(best) + 1, std::move(fresh));
      if (!best_aligned) ++splits_;
      if (const Step step = Post(posted); step != Step::kGoOn) return step;
    }
    return Step::kGoOn;
  }

  // Where to split the segment, best first (*rank 0, 1, 2). In a table
  // column with a single-number index, on a row a whole number of answers
  // ahead, so the segment's last answer ends on it and nothing is asked
  // twice (*aligned): halfway through the rows other columns of the table
  // showed ahead of it, or, where the last two answers walked equal
  // stretches of index (a dense one), halfway to where the column ends, or
  // eight answers ahead when that is not known. Else after the column its
  // last answers stayed in (the next column of a table is likely as long);
  // else eight answers' stretch of index ahead; else at the next sibling of
  // its last name at the shallowest level below the subtree's root, never at
  // the last sub-identifier (that would leave the segment its last name's
  // subtree alone, mostly nothing). The split point lies before the
  // segment's own.
  bool SplitPoint(const StreamSegment& s, int* rank, Name* split, bool* aligned) const {
    const size_t root_length = bounds_[s.subtree].root_length;
    *aligned = false;
    if (s.last.size() < root_length + 2) return false;
    auto within = [&s](const Name& candidate) {
      return s.split.empty() || Compare(s.split, candidate.data(), candidate.size()) > 0;
    };
    auto sibling_at = [&](size_t k, oid step, Name* candidate) {
      if (step >= MAX_SUBID || s.last[k] >= MAX_SUBID - step) return false;
      candidate->assign(s.last.begin(), s.last.begin() + static_cast<long>(k) + 1);
      (*candidate)[k] += step;
      return within(*candidate);
    };
    auto common = [&s](const Name& other) {
      return static_cast<size_t>(
          std::mismatch(s.last.begin(), s.last.end(), other.begin(), other.end()).first -
          s.last.begin());
    };
    const size_t same = std::min(common(s.previous), common(s.before_previous));
    const size_t index = s.last.size() - 1;
    if (same > root_length && same < index) {
      *rank = 0;  // an index of several sub-identifiers
      if (sibling_at(same - 1, 1, split)) return true;
    }
    if (same > root_length && same == index && s.previous.size() == s.last.size() &&
        s.before_previous.size() == s.last.size() && s.last[index] > s.previous[index] &&
        s.previous[index] > s.before_previous[index]) {
      // A single-number index.
      const oid stride = s.last[index] - s.previous[index];
      const bool dense = stride == s.previous[index] - s.before_previous[index];
      // Where the segment's column ends: its split, or where another column
      // of the table ended.
      oid end = 0;  // 0: not known; else past the segment's last row
      if (s.split.size() == s.last.size() &&
          std::equal(s.last.begin(), s.last.begin() + static_cast<long>(index), s.split.begin()))
        end = s.split[index];
      const auto table = tables_.find(Name(s.last.begin(), s.last.end() - 2));
      // (A column that ended before this row says nothing of this one's end.)
      const oid table_end = table == tables_.end() ? 0 : table->second.end;
      if (table_end > s.last[index] && (end == 0 || table_end < end)) end = table_end;
      *rank = 1;
      *aligned = true;
      if (table != tables_.end()) {
        // The rows other columns of the table have ahead of this one.
        const std::set<oid>& indexes = table->second.indexes;
        auto from = indexes.upper_bound(s.last[index]);
        const auto to = end == 0 ? indexes.end() : indexes.upper_bound(end);
        const long ahead = std::distance(from, to);
        const long per_answer = std::max(1, walker_.bulk_repetitions_);
        if (ahead >= 2 * per_answer) {
          std::advance(from, ahead / per_answer / 2 * per_answer - 1);
          if (sibling_at(index, *from - s.last[index], split)) return true;
        }
      }
      if (dense && end > s.last[index]) {
        const oid answers = (end - s.last[index]) / stride / 2;
        if (answers > 0 && sibling_at(index, answers * stride, split)) return true;
      } else if (dense && end == 0 && sibling_at(index, kAnswersAhead * stride, split)) {
        return true;
      }
      *aligned = false;
      *rank = 0;
      if (sibling_at(index - 1, 1, split)) return true;  // the next column
      *rank = 1;
      if (end == 0 && sibling_at(index, kAnswersAhead * stride, split)) return true;
    }
    *rank = 2;
    for (size_t k = root_length; k < index; ++k)
      if (sibling_at(k, 1, split)) return true;
    return false;
  }

  // Lets the requests still outstanding end (all of them, so the walk
  // loop's requests have the device to themselves, or the next walk's),
  // keeps what the next walk's brought for it, and hands the walk loop the
  // first segment's state.
  void HandBack(bool all) {
    closing_ = true;
    bool keep = ahead_started_;
    auto waiting = [&] {
      if (all) return !in_flight_.empty();
      for (const auto& segment : segments_)
        if (segment->subtree == 1 && segment->ticket >= 0) return true;
      return false;
    };
    while (waiting()) {
      int ticket = -1;
      netsnmp_pdu* response = nullptr;
      const ExchangeStatus status = session_.Collect(&ticket, &response);
      if (ticket < 0 || status == ExchangeStatus::kInterrupted ||
          status == ExchangeStatus::kDeadline) {
        keep = false;
        break;
      }
      in_flight_.erase(ticket);
      if (stale_.erase(ticket) != 0) continue;
      for (auto& segment : segments_) {
        if (segment->ticket != ticket) continue;
        if (segment->subtree == 1)
          Take(segment.get(), status, response);
        else
          segment->ticket = -1;
      }
    }
    if (!segments_.empty() && segments_.front()->subtree == 0)
      state_.timed_out_repetitions = segments_.front()->timed_out_repetitions;
    if (!keep || walker_.one_stream_) return;
    auto ahead = std::make_shared<StreamsAhead>();
    ahead->root = next_root_;
    ahead->version = version_;
    for (auto& segment : segments_) {
      if (segment->subtree != 1) continue;
      segment->subtree = 0;
      segment->ticket = -1;
      ahead->segments.push_back(std::move(segment));
    }
    std::erase_if(segments_, [](const auto& segment) { return !segment; });
    ahead->splits = splits_;
    ahead->long_segments = long_segments_;
    ahead->answers = answers_;
    walker_.ahead_ = std::move(ahead);
  }

  Walker& walker_;
  SnmpExchange& session_;
  const int version_;
  const bool check_ordering_;
  WalkLoopState& state_;
  const int streams_;
  Bound bounds_[2];  // this walk's subtree and the next walk's
  Name next_root_;   // the next walk's subtree; empty: none
  bool ahead_started_ = false;
  bool closing_ = false;                                 // no more requests go out
  std::deque<std::unique_ptr<StreamSegment>> segments_;  // in the walks' order
  std::set<int> in_flight_;                              // requests posted and not yet collected
  std::set<int> overlapped_;  // requests that had company while in flight
  std::set<int> stale_;       // requests of a segment that started again
  // What answers showed of tables with a single-number index, by entry
  // (the name up to the column).
  struct Table {
    std::set<oid> indexes;  // of rows in any column
    oid end = 0;            // the last row of a column that ended; 0: none seen
  };
  std::map<Name, Table> tables_;
  int splits_ = 0;
  int long_segments_ = 0;  // stored segments that took kLongSegment answers or more
  int answers_ = 0;
};

bool WalkInStreams(Walker* walker, SnmpExchange* session, int version, bool check_ordering,
                   StreamsAhead* ahead, WalkLoopState* state) {
  StreamWalk walk(walker, session, version, check_ordering, state);
  return walk.Run(ahead);
}
