#include "platform/firewall.h"
#include "platform/format.h"
#include "platform/winsock.h"
// After windows.h, which they need.
#include <netfw.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace kesto {
namespace {

// The rules of a name that is listed more than once are removed one by one;
// bounded so that a firewall that never lets go cannot hold the program.
constexpr int kMaxRulesOfOneName = 64;

template <class Interface>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() {
    if (pointer_) pointer_->Release();
  }
  Interface* operator->() const { return pointer_; }
  Interface** Out() { return &pointer_; }
  void** OutVoid() { return reinterpret_cast<void**>(&pointer_); }

 private:
  Interface* pointer_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const std::string& text) : value_(SysAllocString(WideFromUtf8(text).c_str())) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(value_); }
  operator BSTR() const { return value_; }

 private:
  BSTR value_;
};

class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  HRESULT Result() const { return result_; }

 private:
  HRESULT result_;
};

bool RunsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool known =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
  CloseHandle(token);
  return known && elevation.TokenIsElevated != 0;
}

FirewallResult Failure(HRESULT result) {
  if (result == E_ACCESSDENIED) return {FirewallOutcome::kNotAdministrator, {}};
  return {FirewallOutcome::kFailed,
          Format("error 0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(result)))};
}

HRESULT RemoveAllNamed(INetFwRules* rules, const std::string& name) {
  const Bstr text(name);
  for (int i = 0; i < kMaxRulesOfOneName; ++i) {
    ComRef<INetFwRule> existing;
    if (FAILED(rules->Item(text, existing.Out()))) return S_OK;
    if (const HRESULT result = rules->Remove(text); FAILED(result)) return result;
  }
  return E_FAIL;
}

HRESULT AddOne(INetFwRules* rules, const FirewallRule& wanted) {
  ComRef<INetFwRule> rule;
  HRESULT result = CoCreateInstance(__uuidof(NetFwRule), nullptr, CLSCTX_INPROC_SERVER,
                                    __uuidof(INetFwRule), rule.OutVoid());
  if (FAILED(result)) return result;
  const Bstr name(wanted.name), description(wanted.description), grouping(wanted.grouping),
      program(wanted.program);
  for (const HRESULT step :
       {rule->put_Name(name), rule->put_Description(description), rule->put_Grouping(grouping),
        rule->put_ApplicationName(program), rule->put_Protocol(wanted.ipProtocol),
        rule->put_Direction(NET_FW_RULE_DIR_IN), rule->put_Action(NET_FW_ACTION_ALLOW),
        rule->put_Profiles(wanted.profiles), rule->put_Enabled(VARIANT_TRUE)}) {
    if (FAILED(step)) return step;
  }
  return rules->Add(rule.operator->());
}

// Runs change on the firewall's rule collection, after the checks that need
// no change: elevation first, so a plain user is told before anything moves.
template <class Change>
FirewallResult WithRules(Change&& change) {
  if (!RunsElevated()) return {FirewallOutcome::kNotAdministrator, {}};
  const ComApartment apartment;
  if (FAILED(apartment.Result())) return Failure(apartment.Result());
  ComRef<INetFwPolicy2> policy;
  HRESULT result = CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER,
                                    __uuidof(INetFwPolicy2), policy.OutVoid());
  if (FAILED(result)) return Failure(result);
  ComRef<INetFwRules> rules;
  if (result = policy->get_Rules(rules.Out()); FAILED(result)) return Failure(result);
  return std::forward<Change>(change)(rules.operator->());
}

}  // namespace

FirewallResult AddFirewallRules(const std::vector<FirewallRule>& wanted) {
  return WithRules([&](INetFwRules* rules) -> FirewallResult {
    // Earlier rules of these names go first: adding twice leaves one of each.
    for (const FirewallRule& rule : wanted) {
      if (const HRESULT result = RemoveAllNamed(rules, rule.name); FAILED(result))
        return Failure(result);
    }
    for (size_t added = 0; added < wanted.size(); ++added) {
      if (const HRESULT result = AddOne(rules, wanted[added]); FAILED(result)) {
        for (size_t undo = 0; undo < added; ++undo) RemoveAllNamed(rules, wanted[undo].name);
        return Failure(result);
      }
    }
    return {};
  });
}

FirewallResult RemoveFirewallRules(const std::vector<std::string>& names) {
  return WithRules([&](INetFwRules* rules) -> FirewallResult {
    for (const std::string& name : names) {
      if (const HRESULT result = RemoveAllNamed(rules, name); FAILED(result))
        return Failure(result);
    }
    return {};
  });
}

std::string ProgramFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::string() : Utf8FromWide(path.substr(0, slash).c_str());
}

}  // namespace kesto
