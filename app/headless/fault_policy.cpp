// The headless fault policy: parsing and the answers it gives.
#include "app/headless/fault_policy.h"

#include <cstdlib>


namespace headless {
namespace {

constexpr const char* kOption = "--on-fault";

bool ParseSeconds(const std::string& text, unsigned& seconds) {
  if (text.empty() || text.size() > 6) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value == 0 || value > kMaxRetrySeconds) return false;
  seconds = static_cast<unsigned>(value);
  return true;
}

}  // namespace

bool ParseFaultPolicy(const std::string& text, FaultPolicy& policy) {
  FaultPolicy parsed;
  if (text == "ask") {
    parsed.kind = FaultPolicyKind::Ask;
  } else if (text == "keep") {
    parsed.kind = FaultPolicyKind::Keep;
  } else if (text == "retry") {
    parsed.kind = FaultPolicyKind::Retry;
  } else if (text.rfind("retry=", 0) == 0) {
    parsed.kind = FaultPolicyKind::Retry;
    if (!ParseSeconds(text.substr(6), parsed.retrySeconds)) return false;
  } else {
    return false;
  }
  policy = parsed;
  return true;
}

bool TakeFaultPolicyOption(std::vector<std::string>& args, FaultPolicy& policy,
                           std::string& error) {
  std::vector<std::string> rest;
  bool seen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (i > 0 && args[i] == kOption) {
      if (i + 1 >= args.size()) {
        error = "--on-fault needs a value: ask, retry[=SECONDS] or keep";
        return false;
      }
      value = args[++i];
    } else if (i > 0 && args[i].rfind(std::string(kOption) + "=", 0) == 0) {
      value = args[i].substr(std::string(kOption).size() + 1);
    } else {
      rest.push_back(args[i]);
      continue;
    }
    if (seen) {
      error = "--on-fault given twice";
      return false;
    }
    seen = true;
    if (!ParseFaultPolicy(value, policy)) {
      error = "--on-fault: not ask, retry[=SECONDS] (1 to " +
              std::to_string(kMaxRetrySeconds) + ") or keep: " + value;
      return false;
    }
  }
  args = std::move(rest);
  return true;
}

int PolicyAnswer(FaultPolicyKind kind, const FaultQuestion& question) {
  switch (UnattendedRuleOf(question.kind)) {
    case UnattendedRule::Confirm:
      return IDOK;
    case UnattendedRule::TryAgainAfterWait:
      return kind == FaultPolicyKind::Retry ? question.tryAgain : 0;
    case UnattendedRule::NoAnswer:
      break;
  }
  return 0;
}

bool PolicyAnswerWaits(FaultPolicyKind kind, const FaultQuestion& question) {
  return kind == FaultPolicyKind::Retry &&
         UnattendedRuleOf(question.kind) == UnattendedRule::TryAgainAfterWait;
}

std::string FaultPolicyName(const FaultPolicy& policy) {
  switch (policy.kind) {
    case FaultPolicyKind::Ask: return "ask";
    case FaultPolicyKind::Keep: return "keep";
    case FaultPolicyKind::Retry: return "retry=" + std::to_string(policy.retrySeconds);
  }
  return "ask";
}

}  // namespace headless
