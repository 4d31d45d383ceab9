#include "opctoolbox/ua/model/ua_namespace_zero.h"

#include <unordered_map>

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t Obj = 1, Var = 2, Method = 4, ObjType = 8, VarType = 16, RefType = 32, DataType = 64;
constexpr std::uint32_t Organizes = 35, HasSubtype = 45, HasProperty = 46, HasComponent = 47, HasModellingRule = 37,
                        HasEncoding = 38;
constexpr std::uint32_t Mandatory = 78, Optional = 80;
constexpr std::uint32_t Folder = 61, Property = 68, DataVariable = 63;

NodeId dt(std::uint32_t id) { return NodeId::numericId(0, id); }

std::vector<NamespaceZeroNode> build() {
  using N = NamespaceZeroNode;
  std::vector<N> n = {
      {84, Obj, "Root", Folder, {{Organizes, 85}, {Organizes, 86}, {Organizes, 87}}, {}, -1, false},
      {85, Obj, "Objects", Folder, {{Organizes, 2253}}, {}, -1, false},
      {86, Obj, "Types", Folder, {{Organizes, 88}, {Organizes, 89}, {Organizes, 90}, {Organizes, 91}}, {}, -1, false},
      {87, Obj, "Views", Folder, {}, {}, -1, false},
      {88, Obj, "ObjectTypes", Folder, {{Organizes, 58}}, {}, -1, false},
      {89, Obj, "VariableTypes", Folder, {{Organizes, 62}}, {}, -1, false},
      {90, Obj, "DataTypes", Folder, {{Organizes, 24}}, {}, -1, false},
      {91, Obj, "ReferenceTypes", Folder, {{Organizes, 31}}, {}, -1, false},
      // Object types.
      {58, ObjType, "BaseObjectType", 0,
       {{HasSubtype, 61}, {HasSubtype, 2004}, {HasSubtype, 2013}, {HasSubtype, 11564}, {HasSubtype, 76}, {HasSubtype, 77},
        {HasSubtype, 2041}, {HasSubtype, 2020}, {HasSubtype, 2026}, {HasSubtype, 2029}, {HasSubtype, 2318},
        {HasSubtype, 11187}},
       {}, -1, false},
      // Events: the base type with its fields, and the model-change events.
      {2041, ObjType, "BaseEventType", 0,
       {{HasSubtype, 2132}, {HasSubtype, 2130}, {HasSubtype, 2782}, {HasSubtype, 3035}, {HasProperty, 2042}, {HasProperty, 2043}, {HasProperty, 2044}, {HasProperty, 2045},
        {HasProperty, 2046}, {HasProperty, 2047}, {HasProperty, 2050}, {HasProperty, 2051}},
       {}, -1, true},
      {2042, Var, "EventId", Property, {{HasModellingRule, Mandatory}}, dt(15), -1, false},
      {2043, Var, "EventType", Property, {{HasModellingRule, Mandatory}}, dt(17), -1, false},
      {2044, Var, "SourceNode", Property, {{HasModellingRule, Mandatory}}, dt(17), -1, false},
      {2045, Var, "SourceName", Property, {{HasModellingRule, Mandatory}}, dt(12), -1, false},
      {2046, Var, "Time", Property, {{HasModellingRule, Mandatory}}, dt(294), -1, false},
      {2047, Var, "ReceiveTime", Property, {{HasModellingRule, Mandatory}}, dt(294), -1, false},
      {2050, Var, "Message", Property, {{HasModellingRule, Mandatory}}, dt(21), -1, false},
      {2051, Var, "Severity", Property, {{HasModellingRule, Mandatory}}, dt(5), -1, false},
      {2132, ObjType, "BaseModelChangeEventType", 0, {{HasSubtype, 2133}}, {}, -1, false},
      // What a kept item's history configuration is (OPC UA Part 11, 5.2).
      {2318, ObjType, "HistoricalDataConfigurationType", 0, {}, {}, -1, false},
      {11187, ObjType, "AggregateConfigurationType", 0, {}, {}, -1, false},
      {2133, ObjType, "GeneralModelChangeEventType", 0, {{HasProperty, 2134}}, {}, -1, false},
      {2134, Var, "Changes", Property, {{HasModellingRule, Mandatory}}, dt(877), 1, false},
      // The system events and the condition and alarm types of Alarms & Conditions (Part 9).
      {2130, ObjType, "SystemEventType", 0, {{HasSubtype, 2787}, {HasSubtype, 2788}}, {}, -1, true},
      {2787, ObjType, "RefreshStartEventType", 0, {}, {}, -1, false},
      {2788, ObjType, "RefreshEndEventType", 0, {}, {}, -1, false},
      {3035, ObjType, "EventQueueOverflowEventType", 0, {}, {}, -1, true},
      {2782, ObjType, "ConditionType", 0,
       {{HasSubtype, 2881}, {HasComponent, 9027}, {HasComponent, 9028}, {HasComponent, 9029}, {HasComponent, 3875},
        {HasComponent, 12912}},
       {}, -1, true},
      {2881, ObjType, "AcknowledgeableConditionType", 0,
       {{HasSubtype, 2915}, {HasComponent, 9111}, {HasComponent, 9113}}, {}, -1, false},
      {2929, ObjType, "ShelvedStateMachineType", 0, {{HasComponent, 2947}, {HasComponent, 2948}, {HasComponent, 2949}},
       {}, -1, false},
      // The methods of Alarms & Conditions (OPC UA Part 9), which every condition shares
      // with its type, and their arguments.
      {9027, Method, "Enable", 0, {}, {}, -1, false},
      {9028, Method, "Disable", 0, {}, {}, -1, false},
      {9029, Method, "AddComment", 0, {{HasProperty, 9030}}, {}, -1, false},
      {9030, Var, "InputArguments", Property, {}, dt(296), 1, false},
      {3875, Method, "ConditionRefresh", 0, {{HasProperty, 3876}}, {}, -1, false},
      {3876, Var, "InputArguments", Property, {}, dt(296), 1, false},
      {12912, Method, "ConditionRefresh2", 0, {{HasProperty, 12913}}, {}, -1, false},
      {12913, Var, "InputArguments", Property, {}, dt(296), 1, false},
      {9111, Method, "Acknowledge", 0, {{HasProperty, 9112}}, {}, -1, false},
      {9112, Var, "InputArguments", Property, {}, dt(296), 1, false},
      {9113, Method, "Confirm", 0, {{HasProperty, 9114}}, {}, -1, false},
      {9114, Var, "InputArguments", Property, {}, dt(296), 1, false},
      {2947, Method, "Unshelve", 0, {}, {}, -1, false},
      {2948, Method, "OneShotShelve", 0, {}, {}, -1, false},
      {2949, Method, "TimedShelve", 0, {{HasProperty, 2991}}, {}, -1, false},
      {2991, Var, "InputArguments", Property, {}, dt(296), 1, false},
      {2915, ObjType, "AlarmConditionType", 0, {{HasSubtype, 10523}}, {}, -1, false},
      {10523, ObjType, "DiscreteAlarmType", 0, {{HasSubtype, 10637}}, {}, -1, false},
      {10637, ObjType, "OffNormalAlarmType", 0, {{HasSubtype, 10751}}, {}, -1, false},
      {10751, ObjType, "TripAlarmType", 0, {}, {}, -1, false},
      {76, ObjType, "DataTypeEncodingType", 0, {}, {}, -1, false},
      {77, ObjType, "ModellingRuleType", 0, {}, {}, -1, false},
      {Mandatory, Obj, "Mandatory", 77, {}, {}, -1, false},
      {Optional, Obj, "Optional", 77, {}, {}, -1, false},
      {61, ObjType, "FolderType", 0, {}, {}, -1, false},
      {2004, ObjType, "ServerType", 0, {}, {}, -1, false},
      {2013, ObjType, "ServerCapabilitiesType", 0, {}, {}, -1, false},
      {11564, ObjType, "OperationLimitsType", 0, {}, {}, -1, false},
      // Variable types.
      {62, VarType, "BaseVariableType", 0, {{HasSubtype, 63}, {HasSubtype, 68}}, dt(24), -2, true},
      {63, VarType, "BaseDataVariableType", 0,
       {{HasSubtype, 2138}, {HasSubtype, 3051}, {HasSubtype, 2365}, {HasSubtype, 2150}, {HasSubtype, 2196},
        {HasSubtype, 2197}, {HasSubtype, 2243}, {HasSubtype, 2244}},
       dt(24), -2, false},
      // The Data Access variable types (OPC UA Part 8) with their property declarations.
      {2365, VarType, "DataItemType", 0,
       {{HasSubtype, 2368}, {HasSubtype, 2372}, {HasProperty, 2366}, {HasProperty, 2367}}, dt(24), -2, false},
      {2366, Var, "Definition", Property, {{HasModellingRule, Optional}}, dt(12), -1, false},
      {2367, Var, "ValuePrecision", Property, {{HasModellingRule, Optional}}, dt(11), -1, false},
      {2368, VarType, "AnalogItemType", 0, {{HasProperty, 2369}, {HasProperty, 2370}, {HasProperty, 2371}}, dt(26), -2, false},
      {2369, Var, "EURange", Property, {{HasModellingRule, Mandatory}}, dt(884), -1, false},
      {2370, Var, "EngineeringUnits", Property, {{HasModellingRule, Optional}}, dt(887), -1, false},
      {2371, Var, "InstrumentRange", Property, {{HasModellingRule, Optional}}, dt(884), -1, false},
      {2372, VarType, "DiscreteItemType", 0, {{HasSubtype, 2373}, {HasSubtype, 2376}}, dt(24), -2, true},
      {2373, VarType, "TwoStateDiscreteType", 0, {{HasProperty, 2374}, {HasProperty, 2375}}, dt(1), -2, false},
      {2374, Var, "TrueState", Property, {{HasModellingRule, Mandatory}}, dt(21), -1, false},
      {2375, Var, "FalseState", Property, {{HasModellingRule, Mandatory}}, dt(21), -1, false},
      {2376, VarType, "MultiStateDiscreteType", 0, {{HasProperty, 2377}}, dt(28), -2, false},
      {2377, Var, "EnumStrings", Property, {{HasModellingRule, Mandatory}}, dt(21), 1, false},
      {68, VarType, "PropertyType", 0, {}, dt(24), -2, false},
      {2138, VarType, "ServerStatusType", 0, {}, dt(862), -1, false},
      {3051, VarType, "BuildInfoType", 0, {}, dt(338), -1, false},
      // The diagnostics' types (OPC UA Part 5, 6.3.3 and 7).
      {2020, ObjType, "ServerDiagnosticsType", 0, {}, {}, -1, false},
      {2026, ObjType, "SessionsDiagnosticsSummaryType", 0, {}, {}, -1, false},
      {2029, ObjType, "SessionDiagnosticsObjectType", 0, {}, {}, -1, false},
      {2150, VarType, "ServerDiagnosticsSummaryType", 0, {}, dt(859), -1, false},
      {2196, VarType, "SessionDiagnosticsArrayType", 0, {}, dt(865), 1, false},
      {2197, VarType, "SessionDiagnosticsVariableType", 0, {}, dt(865), -1, false},
      {2243, VarType, "SessionSecurityDiagnosticsArrayType", 0, {}, dt(868), 1, false},
      {2244, VarType, "SessionSecurityDiagnosticsType", 0, {}, dt(868), -1, false},
      {2171, VarType, "SubscriptionDiagnosticsArrayType", 0, {}, dt(874), 1, false},
      // Reference types.
      {31, RefType, "References", 0, {{HasSubtype, 32}, {HasSubtype, 33}}, {}, -1, true},
      {32, RefType, "NonHierarchicalReferences", 0,
       {{HasSubtype, 40}, {HasSubtype, HasModellingRule}, {HasSubtype, HasEncoding}, {HasSubtype, 41}, {HasSubtype, 51},
        {HasSubtype, 52}, {HasSubtype, 53}, {HasSubtype, 54}, {HasSubtype, 9004}, {HasSubtype, 9005}, {HasSubtype, 9006}},
       {}, -1, true},
      {41, RefType, "GeneratesEvent", 0, {{HasSubtype, 3065}}, {}, -1, false},
      {3065, RefType, "AlwaysGeneratesEvent", 0, {}, {}, -1, false},
      {51, RefType, "FromState", 0, {}, {}, -1, false},
      {52, RefType, "ToState", 0, {}, {}, -1, false},
      {53, RefType, "HasCause", 0, {}, {}, -1, false},
      {54, RefType, "HasEffect", 0, {}, {}, -1, false},
      {9004, RefType, "HasTrueSubState", 0, {}, {}, -1, false},
      {9005, RefType, "HasFalseSubState", 0, {}, {}, -1, false},
      {9006, RefType, "HasCondition", 0, {}, {}, -1, false},
      {HasModellingRule, RefType, "HasModellingRule", 0, {}, {}, -1, false},
      {HasEncoding, RefType, "HasEncoding", 0, {}, {}, -1, false},
      {33, RefType, "HierarchicalReferences", 0, {{HasSubtype, 34}, {HasSubtype, 35}, {HasSubtype, 36}}, {}, -1, true},
      {36, RefType, "HasEventSource", 0, {{HasSubtype, 48}}, {}, -1, false},
      {48, RefType, "HasNotifier", 0, {}, {}, -1, false},
      {34, RefType, "HasChild", 0, {{HasSubtype, 44}, {HasSubtype, 45}}, {}, -1, true},
      {35, RefType, "Organizes", 0, {}, {}, -1, false},
      {40, RefType, "HasTypeDefinition", 0, {}, {}, -1, false},
      {44, RefType, "Aggregates", 0, {{HasSubtype, 46}, {HasSubtype, 47}, {HasSubtype, 56}}, {}, -1, true},
      {56, RefType, "HasHistoricalConfiguration", 0, {}, {}, -1, false},
      {45, RefType, "HasSubtype", 0, {}, {}, -1, false},
      {46, RefType, "HasProperty", 0, {}, {}, -1, false},
      {47, RefType, "HasComponent", 0, {{HasSubtype, 49}}, {}, -1, false},
      {49, RefType, "HasOrderedComponent", 0, {}, {}, -1, false},
      // Data types.
      {24, DataType, "BaseDataType", 0,
       {{HasSubtype, 1}, {HasSubtype, 26}, {HasSubtype, 12}, {HasSubtype, 13}, {HasSubtype, 14}, {HasSubtype, 15},
        {HasSubtype, 16}, {HasSubtype, 17}, {HasSubtype, 18}, {HasSubtype, 19}, {HasSubtype, 20}, {HasSubtype, 21},
        {HasSubtype, 22}, {HasSubtype, 23}, {HasSubtype, 25}, {HasSubtype, 29}},
       {}, -1, true},
      {1, DataType, "Boolean", 0, {}, {}, -1, false},
      {26, DataType, "Number", 0, {{HasSubtype, 27}, {HasSubtype, 28}, {HasSubtype, 10}, {HasSubtype, 11}}, {}, -1, true},
      {27, DataType, "Integer", 0, {{HasSubtype, 2}, {HasSubtype, 4}, {HasSubtype, 6}, {HasSubtype, 8}}, {}, -1, true},
      {28, DataType, "UInteger", 0, {{HasSubtype, 3}, {HasSubtype, 5}, {HasSubtype, 7}, {HasSubtype, 9}}, {}, -1, true},
      {2, DataType, "SByte", 0, {}, {}, -1, false},
      {3, DataType, "Byte", 0, {}, {}, -1, false},
      {4, DataType, "Int16", 0, {}, {}, -1, false},
      {5, DataType, "UInt16", 0, {}, {}, -1, false},
      {6, DataType, "Int32", 0, {}, {}, -1, false},
      {7, DataType, "UInt32", 0, {}, {}, -1, false},
      {8, DataType, "Int64", 0, {}, {}, -1, false},
      {9, DataType, "UInt64", 0, {}, {}, -1, false},
      {10, DataType, "Float", 0, {}, {}, -1, false},
      {11, DataType, "Double", 0, {}, {}, -1, false},
      {12, DataType, "String", 0, {}, {}, -1, false},
      {13, DataType, "DateTime", 0, {{HasSubtype, 294}}, {}, -1, false},
      {294, DataType, "UtcTime", 0, {}, {}, -1, false},
      {14, DataType, "Guid", 0, {}, {}, -1, false},
      {15, DataType, "ByteString", 0, {}, {}, -1, false},
      {16, DataType, "XmlElement", 0, {}, {}, -1, false},
      {17, DataType, "NodeId", 0, {}, {}, -1, false},
      {18, DataType, "ExpandedNodeId", 0, {}, {}, -1, false},
      {23, DataType, "DataValue", 0, {}, {}, -1, false},
      {25, DataType, "DiagnosticInfo", 0, {}, {}, -1, false},
      {19, DataType, "StatusCode", 0, {}, {}, -1, false},
      {20, DataType, "QualifiedName", 0, {}, {}, -1, false},
      {21, DataType, "LocalizedText", 0, {}, {}, -1, false},
      {22, DataType, "Structure", 0,
       {{HasSubtype, 862}, {HasSubtype, 338}, {HasSubtype, 877}, {HasSubtype, 884}, {HasSubtype, 887}, {HasSubtype, 859},
        {HasSubtype, 865}, {HasSubtype, 868}, {HasSubtype, 874}},
       {}, -1, true},
      {859, DataType, "ServerDiagnosticsSummaryDataType", 0, {{HasEncoding, 861}}, {}, -1, false},
      {861, Obj, "Default Binary", 76, {}, {}, -1, false},
      {865, DataType, "SessionDiagnosticsDataType", 0, {{HasEncoding, 867}}, {}, -1, false},
      {867, Obj, "Default Binary", 76, {}, {}, -1, false},
      {868, DataType, "SessionSecurityDiagnosticsDataType", 0, {{HasEncoding, 870}}, {}, -1, false},
      {870, Obj, "Default Binary", 76, {}, {}, -1, false},
      {874, DataType, "SubscriptionDiagnosticsDataType", 0, {{HasEncoding, 876}}, {}, -1, false},
      {876, Obj, "Default Binary", 76, {}, {}, -1, false},
      {877, DataType, "ModelChangeStructureDataType", 0, {{HasEncoding, 879}}, {}, -1, false},
      {879, Obj, "Default Binary", 76, {}, {}, -1, false},
      {884, DataType, "Range", 0, {{HasEncoding, 886}}, {}, -1, false},
      {886, Obj, "Default Binary", 76, {}, {}, -1, false},
      {887, DataType, "EUInformation", 0, {{HasEncoding, 889}}, {}, -1, false},
      {889, Obj, "Default Binary", 76, {}, {}, -1, false},
      {862, DataType, "ServerStatusDataType", 0, {}, {}, -1, false},
      {338, DataType, "BuildInfo", 0, {}, {}, -1, false},
      {29, DataType, "Enumeration", 0, {{HasSubtype, 852}}, {}, -1, true},
      {852, DataType, "ServerState", 0, {}, {}, -1, false},
      // The Server object.
      {2253, Obj, "Server", 2004,
       {{HasProperty, 2254}, {HasProperty, 2255}, {HasComponent, 2256}, {HasComponent, 2268}, {HasComponent, 2274},
        {HasComponent, ns0::GetMonitoredItems}, {HasComponent, ns0::ResendData}},
       {}, -1, false},
      {2254, Var, "ServerArray", Property, {}, dt(12), 1, false},
      {2255, Var, "NamespaceArray", Property, {}, dt(12), 1, false},
      {2256, Var, "ServerStatus", 2138,
       {{HasComponent, 2257}, {HasComponent, 2258}, {HasComponent, 2259}, {HasComponent, 2260}}, dt(862), -1, false},
      {2257, Var, "StartTime", DataVariable, {}, dt(294), -1, false},
      {2258, Var, "CurrentTime", DataVariable, {}, dt(294), -1, false},
      {2259, Var, "State", DataVariable, {}, dt(852), -1, false},
      {2260, Var, "BuildInfo", 3051,
       {{HasComponent, 2261}, {HasComponent, 2262}, {HasComponent, 2263}, {HasComponent, 2264}, {HasComponent, 2265},
        {HasComponent, 2266}},
       dt(338), -1, false},
      {2261, Var, "ProductName", DataVariable, {}, dt(12), -1, false},
      {2262, Var, "ProductUri", DataVariable, {}, dt(12), -1, false},
      {2263, Var, "ManufacturerName", DataVariable, {}, dt(12), -1, false},
      {2264, Var, "SoftwareVersion", DataVariable, {}, dt(12), -1, false},
      {2265, Var, "BuildNumber", DataVariable, {}, dt(12), -1, false},
      {2266, Var, "BuildDate", DataVariable, {}, dt(294), -1, false},
      {2268, Obj, "ServerCapabilities", 2013,
       {{HasProperty, 2269}, {HasProperty, 2271}, {HasProperty, 2272}, {HasProperty, 2735}, {HasComponent, 11704},
        {HasProperty, 24095}, {HasProperty, 24097}, {HasProperty, 24098}, {HasProperty, 24104}, {HasProperty, 31916}},
       {}, -1, false},
      {2269, Var, "ServerProfileArray", Property, {}, dt(12), 1, false},
      {2271, Var, "LocaleIdArray", Property, {}, dt(12), 1, false},
      {2272, Var, "MinSupportedSampleRate", Property, {}, dt(11), -1, false},
      {2735, Var, "MaxBrowseContinuationPoints", Property, {}, dt(5), -1, false},
      {24095, Var, "MaxSessions", Property, {}, dt(7), -1, false},
      {24097, Var, "MaxMonitoredItems", Property, {}, dt(7), -1, false},
      {24098, Var, "MaxSubscriptionsPerSession", Property, {}, dt(7), -1, false},
      {24104, Var, "MaxMonitoredItemsPerSubscription", Property, {}, dt(7), -1, false},
      {31916, Var, "MaxMonitoredItemsQueueSize", Property, {}, dt(7), -1, false},
      {11704, Obj, "OperationLimits", 11564,
       {{HasProperty, 11705}, {HasProperty, 11707}, {HasProperty, 11710}, {HasProperty, 11711}, {HasProperty, 11712},
        {HasProperty, 11714}},
       {}, -1, false},
      {11705, Var, "MaxNodesPerRead", Property, {}, dt(7), -1, false},
      {11707, Var, "MaxNodesPerWrite", Property, {}, dt(7), -1, false},
      {11710, Var, "MaxNodesPerBrowse", Property, {}, dt(7), -1, false},
      {11711, Var, "MaxNodesPerRegisterNodes", Property, {}, dt(7), -1, false},
      {11712, Var, "MaxNodesPerTranslateBrowsePathsToNodeIds", Property, {}, dt(7), -1, false},
      {11714, Var, "MaxMonitoredItemsPerCall", Property, {}, dt(7), -1, false},
      // Its diagnostics; an object per session joins the sessions' summary (ua_diagnostics_nodes.cpp).
      {2274, Obj, "ServerDiagnostics", 2020,
       {{HasComponent, 2275}, {HasComponent, 2290}, {HasComponent, 3706}, {HasProperty, 2294}}, {}, -1, false},
      {2275, Var, "ServerDiagnosticsSummary", 2150,
       {{HasComponent, 2276}, {HasComponent, 2277}, {HasComponent, 2278}, {HasComponent, 2279}, {HasComponent, 3705},
        {HasComponent, 2281}, {HasComponent, 2282}, {HasComponent, 2285}, {HasComponent, 2286}, {HasComponent, 2284},
        {HasComponent, 2287}, {HasComponent, 2288}},
       dt(859), -1, false},
      {2276, Var, "ServerViewCount", DataVariable, {}, dt(7), -1, false},
      {2277, Var, "CurrentSessionCount", DataVariable, {}, dt(7), -1, false},
      {2278, Var, "CumulatedSessionCount", DataVariable, {}, dt(7), -1, false},
      {2279, Var, "SecurityRejectedSessionCount", DataVariable, {}, dt(7), -1, false},
      {3705, Var, "RejectedSessionCount", DataVariable, {}, dt(7), -1, false},
      {2281, Var, "SessionTimeoutCount", DataVariable, {}, dt(7), -1, false},
      {2282, Var, "SessionAbortCount", DataVariable, {}, dt(7), -1, false},
      {2285, Var, "CurrentSubscriptionCount", DataVariable, {}, dt(7), -1, false},
      {2286, Var, "CumulatedSubscriptionCount", DataVariable, {}, dt(7), -1, false},
      {2284, Var, "PublishingIntervalCount", DataVariable, {}, dt(7), -1, false},
      {2287, Var, "SecurityRejectedRequestsCount", DataVariable, {}, dt(7), -1, false},
      {2288, Var, "RejectedRequestsCount", DataVariable, {}, dt(7), -1, false},
      {2290, Var, "SubscriptionDiagnosticsArray", 2171, {}, dt(874), 1, false},
      {3706, Obj, "SessionsDiagnosticsSummary", 2026, {{HasComponent, 3707}, {HasComponent, 3708}}, {}, -1, false},
      {3707, Var, "SessionDiagnosticsArray", 2196, {}, dt(865), 1, false},
      {3708, Var, "SessionSecurityDiagnosticsArray", 2243, {}, dt(868), 1, false},
      {2294, Var, "EnabledFlag", Property, {}, dt(1), -1, false},
      {ns0::GetMonitoredItems, Method, "GetMonitoredItems", 0, {}, {}, -1, false},
      {ns0::ResendData, Method, "ResendData", 0, {}, {}, -1, false},
  };
  return n;
}

struct Index {
  std::vector<NamespaceZeroNode> nodes = build();
  std::unordered_map<std::uint32_t, std::size_t> byId;
  std::unordered_map<std::uint32_t, std::vector<std::pair<std::uint32_t, const NamespaceZeroNode*>>> inverse;
  std::unordered_map<std::uint32_t, std::uint32_t> superType;
  Index() {
    for (std::size_t i = 0; i < nodes.size(); ++i) byId.emplace(nodes[i].id, i);
    for (const auto& node : nodes) {
      for (auto [type, target] : node.children) {
        inverse[target].emplace_back(type, &node);
        if (type == HasSubtype) superType.emplace(target, node.id);
      }
    }
  }
};

const Index& index() {
  static const Index i;
  return i;
}

}  // namespace

const NamespaceZeroNode* findNamespaceZero(std::uint32_t id) {
  const auto& i = index();
  auto it = i.byId.find(id);
  return it == i.byId.end() ? nullptr : &i.nodes[it->second];
}

std::uint32_t superTypeOf(std::uint32_t id) {
  const auto& i = index();
  auto it = i.superType.find(id);
  return it == i.superType.end() ? 0 : it->second;
}

bool isSubtypeOf(const NodeId& type, const NodeId& of) {
  if (type.ns != 0 || of.ns != 0 || type.kind != NodeId::Kind::Numeric || of.kind != NodeId::Kind::Numeric) return false;
  for (std::uint32_t t = type.numeric; t != 0; t = superTypeOf(t)) {
    if (t == of.numeric) return true;
  }
  return false;
}

std::vector<std::pair<std::uint32_t, const NamespaceZeroNode*>> inverseReferences(std::uint32_t id) {
  const auto& i = index();
  auto it = i.inverse.find(id);
  return it == i.inverse.end() ? std::vector<std::pair<std::uint32_t, const NamespaceZeroNode*>>{} : it->second;
}

}  // namespace OpcToolbox::ua
