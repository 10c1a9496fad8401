#pragma once

#include <memory>
#include <string>
#include <vector>

namespace grpc {
class Service;
}

namespace zov {

// gRPC's server reflection under grpc.reflection.v1, beside the library's v1alpha:
// answers from the descriptors compiled into the program, for `services`.
std::unique_ptr<grpc::Service> makeReflectionV1(std::vector<std::string> services);

} // namespace zov
