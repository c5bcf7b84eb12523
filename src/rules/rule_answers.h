// What the filter file answers for a destination and for a queried name.
#pragma once

namespace rules {

// The address rule of a destination (FilterTables::FindAddressRule): none,
// go direct, or block.
enum class AddressRule { None = 0, Direct = 1, Block = 2 };

// The class of a queried name (FilterTables::ClassifyDomain): none, class 1
// (resolved through the proxy) or class 2 (answered from the host-address
// table, resolved through the proxy when the table has no address).
enum class DomainClass { None = 0, ViaProxy = 1, FromTable = 2 };

}  // namespace rules
