#include "scan/snmp_exchange.h"

ExchangeStatus SnmpExchange::Post(int command, const SnmpName* names, size_t count,
                                  long repetitions, int* ticket) {
  Queued q{next_ticket_++, command, {}, repetitions};
  for (size_t i = 0; i < count; ++i)
    q.names.emplace_back(names[i].ids, names[i].ids + names[i].length);
  *ticket = q.ticket;
  queued_.push_back(std::move(q));
  return ExchangeStatus::kSuccess;
}

ExchangeStatus SnmpExchange::Collect(int* ticket, netsnmp_pdu** response) {
  *ticket = -1;
  *response = nullptr;
  if (queued_.empty()) return ExchangeStatus::kError;
  const Queued q = std::move(queued_.front());
  queued_.pop_front();
  std::vector<SnmpName> names;
  for (const auto& n : q.names) names.push_back({n.data(), n.size()});
  const ExchangeStatus status =
      Exchange(q.command, names.data(), names.size(), q.repetitions, response);
  if (status == ExchangeStatus::kInterrupted || status == ExchangeStatus::kDeadline) {
    queued_.push_front(q);
    return status;
  }
  *ticket = q.ticket;
  return status;
}
