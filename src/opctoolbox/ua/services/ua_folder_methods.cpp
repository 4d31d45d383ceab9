// The application's folder methods as OPC UA Method nodes ("<folder>#SwitchOn", with
// their InputArguments and OutputArguments), and their calls: checked against the
// caller's role and every item's type before anything is written, then written through
// the toolbox as one write, one result per channel.

#include <algorithm>

#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kArgumentType = 296;

const char* argumentsName(int which) { return which == 1 ? "InputArguments" : "OutputArguments"; }

ExtensionObject argument(const MethodArgument& a) {
  return argumentObject(a.name, a.dataType, a.valueRank, a.description);
}

std::span<const MethodArgument> argumentsOf(const FolderMethod& m, int which) {
  return which == 1 ? m.inputs : m.outputs;
}

}  // namespace

std::optional<UaServer::MethodNode> UaServer::methodNodeOf(std::string_view text) const {
  const FolderMethods* methods = app_.folderMethods();
  const std::size_t hash = text.rfind('#');
  if (methods == nullptr || hash == std::string_view::npos) return std::nullopt;
  std::string_view name = text.substr(hash + 1);
  int arguments = 0;
  if (const std::size_t dot = name.find('.'); dot != std::string_view::npos) {
    const std::string_view list = name.substr(dot + 1);
    arguments = list == "InputArguments" ? 1 : list == "OutputArguments" ? 2 : -1;
    name = name.substr(0, dot);
  }
  if (arguments < 0) return std::nullopt;
  ElementPtr folder = lookup()(std::string(text.substr(0, hash)));
  if (!folder || !folder->getHasChildren()) return std::nullopt;
  for (const FolderMethod& m : methods->methodsOf(*folder)) {
    if (name != m.name) continue;
    if (arguments != 0 && argumentsOf(m, arguments).empty()) return std::nullopt;
    return MethodNode{std::move(folder), &m, arguments};
  }
  return std::nullopt;
}

DataValue UaServer::readMethodNode(const MethodNode& node, const NodeIdRef& id, std::uint32_t attribute, Role role) {
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  const bool method = node.arguments == 0;
  const QualifiedName name = method ? QualifiedName{kNs, node.method->name} : QualifiedName{0, argumentsName(node.arguments)};
  switch (attribute) {
    case kNodeId: return scalar(BuiltinType::NodeId, id.toNodeId());
    case kNodeClass: return scalar(BuiltinType::Int32, static_cast<std::int32_t>(method ? kMethod : kVariable));
    case kBrowseName: return scalar(BuiltinType::QualifiedName, name);
    case kDisplayName: return scalar(BuiltinType::LocalizedText, LocalizedText{std::nullopt, name.name});
    case kDescription:
      return scalar(BuiltinType::LocalizedText,
                    method ? LocalizedText{std::string("en"), std::string(node.method->description)} : LocalizedText{});
    case kWriteMask: case kUserWriteMask: return scalar(BuiltinType::UInt32, std::uint32_t{0});
    default: break;
  }
  if (method) {
    if (attribute == kExecutable) return scalar(BuiltinType::Boolean, true);
    if (attribute == kUserExecutable) return scalar(BuiltinType::Boolean, mayWrite(role, node.method->role));
    return statusOnly(kBadAttributeIdInvalid);
  }
  const std::span<const MethodArgument> list = argumentsOf(*node.method, node.arguments);
  switch (attribute) {
    case kDataType: return scalar(BuiltinType::NodeId, NodeId::numericId(0, kArgumentType));
    case kValueRank: return scalar(BuiltinType::Int32, std::int32_t{1});
    case kArrayDimensions: return valueOf(ua::Variant{BuiltinType::UInt32, true, {static_cast<std::uint32_t>(list.size())}});
    case kAccessLevel: case kUserAccessLevel: return scalar(BuiltinType::Byte, std::uint8_t{1});
    case kMinimumSamplingInterval: return scalar(BuiltinType::Double, 0.0);
    case kHistorizing: return scalar(BuiltinType::Boolean, false);
    case kValue: {
      ua::Variant v{BuiltinType::ExtensionObject, true, {}};
      v.values.reserve(list.size());
      for (const MethodArgument& a : list) v.values.emplace_back(Boxed<ExtensionObject>(argument(a)));
      return valueOf(std::move(v));  // stamped by the read
    }
    default: return statusOnly(kBadAttributeIdInvalid);
  }
}

bool UaServer::callFolderMethod(Call& c, const CallMethodRequest& m, std::size_t& writesLeft,
                                std::function<void(MethodResult)> done) {
  if (!namesItem(m.method)) return false;
  const auto node = methodNodeOf(m.method.text);
  if (!node || node->arguments != 0) return false;
  MethodResult r;
  if (!namesItem(m.object) || m.object.text != node->folder->getItemId()) {
    r.status = kBadMethodInvalid;  // a folder's method is called on that folder
    done(std::move(r));
    return true;
  }
  const FolderMethod& method = *node->method;
  const std::string where = node->folder->getItemId();
  std::string user;
  {
    std::lock_guard lock(sessionsMutex_);
    user = c.session->user;
  }
  auto refuse = [&](StatusCode why, const char* name) {
    r.status = why;
    audit(true, [&] { return std::string("method refused: user [") + user + "] [" + method.name + "] on [" + where + "] (" + name + ")"; });
    done(std::move(r));
    return true;
  };
  if (m.inputs.size() < method.inputs.size()) return refuse(kBadArgumentsMissing, "BadArgumentsMissing");
  if (m.inputs.size() > method.inputs.size()) return refuse(kBadTooManyArguments, "BadTooManyArguments");
  if (!mayWrite(c.role, method.role)) return refuse(kBadUserAccessDenied, "BadUserAccessDenied");
  // Inputs as the toolbox holds values; a structure or an array is none of them.
  std::vector<OpcToolbox::Variant> inputs(m.inputs.size());
  r.inputResults.assign(m.inputs.size(), kGood);
  bool inputsOk = true;
  for (std::size_t i = 0; i < m.inputs.size(); ++i) {
    if (m.inputs[i].isArray || m.inputs[i].values.size() != 1 || !fromUa(m.inputs[i], inputs[i])) {
      r.inputResults[i] = kBadTypeMismatch;
      inputsOk = false;
    }
  }
  MethodPlan plan;
  std::vector<InputFault> faults;
  if (inputsOk && !app_.folderMethods()->plan(*node->folder, method.name, inputs, plan, faults)) {
    for (std::size_t i = 0; i < faults.size() && i < r.inputResults.size(); ++i) {
      if (faults[i] == InputFault::TypeMismatch) r.inputResults[i] = kBadTypeMismatch;
      else if (faults[i] == InputFault::Invalid) r.inputResults[i] = kBadInvalidArgument;
    }
    inputsOk = false;
  }
  // Every item is checked before any is written: a call is refused whole or made whole.
  const ua::Variant* written = plan.valueInput >= 0 && static_cast<std::size_t>(plan.valueInput) < m.inputs.size()
                                   ? &m.inputs[static_cast<std::size_t>(plan.valueInput)]
                                   : nullptr;
  for (std::size_t t = 0; inputsOk && t < plan.targets.size(); ++t) {
    const ElementPtr& target = plan.targets[t];
    if (!mayWrite(c.role, target->getWriteRole())) return refuse(kBadUserAccessDenied, "BadUserAccessDenied");
    if ((target->getAccessRights() & kWriteable) == 0) return refuse(kBadNotWritable, "BadNotWritable");
    if (written != nullptr && writableValue(*written, target->getDatatype()) != kGood) {
      r.inputResults[static_cast<std::size_t>(plan.valueInput)] = kBadTypeMismatch;
      inputsOk = false;
    }
  }
  if (!inputsOk) {
    if (std::all_of(r.inputResults.begin(), r.inputResults.end(), [](StatusCode s) { return s == kGood; })) {
      r.inputResults.clear();
    }
    return refuse(kBadInvalidArgument, "BadInvalidArgument");
  }
  r.inputResults.clear();
  // A call writes a crate's worth of items: the calls of one request together write no
  // more than one Write may.
  if (plan.targets.size() > writesLeft) return refuse(kBadTooManyOperations, "BadTooManyOperations");
  writesLeft -= plan.targets.size();
  const OpcToolbox::Variant value = written != nullptr ? inputs[static_cast<std::size_t>(plan.valueInput)] : plan.value;
  std::vector<WriteItem> items;
  items.reserve(plan.targets.size());
  const DateTime now = DateTime::now();
  for (const ElementPtr& target : plan.targets) items.push_back(WriteItem{target, ValueQT(value, kQualityGood, now)});
  audit(false, [&] {
    return std::string("method: user [") + user + "] [" + method.name + "] on [" + where + "] value [" + value.toString() +
           "] channels [" + std::to_string(plan.channels.size()) + "]";
  });
  ClientAccess* clients = app_.clients();
  auto finish = [plan = std::move(plan), done](const std::vector<long>& results) {
    MethodResult out;
    ua::Variant codes{BuiltinType::StatusCode, true, {}};
    codes.values.reserve(plan.channels.size());
    for (const std::size_t target : plan.resultOf) {
      codes.values.emplace_back(StatusCodeValue{target < results.size() ? resultStatusOf(results[target]) : kBad});
    }
    out.outputs = {std::move(codes), stringArray(plan.channels)};
    // A write whose result no channel carries (a crate's command, with no channel built)
    // is the call's own.
    std::vector<bool> carried(results.size(), false);
    for (const std::size_t target : plan.resultOf) {
      if (target < carried.size()) carried[target] = true;
    }
    for (std::size_t t = 0; t < results.size(); ++t) {
      if (!carried[t] && results[t] != S_OK) {
        out.status = resultStatusOf(results[t]);
        break;
      }
    }
    done(std::move(out));
  };
  if (items.empty()) {
    finish({});
    return true;
  }
  if (clients == nullptr) {
    r.status = kBadShutdown;
    done(std::move(r));
    return true;
  }
  auto shared = std::make_shared<decltype(finish)>(std::move(finish));
  const std::size_t count = items.size();
  if (clients->write(c.session->toolboxSession, std::move(items), [shared](std::vector<long> results) { (*shared)(results); }) !=
      S_OK) {
    (*shared)(std::vector<long>(count, E_ABORT));
  }
  return true;
}

}  // namespace OpcToolbox::ua
