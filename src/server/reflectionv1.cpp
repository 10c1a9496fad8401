#include "reflectionv1.h"

#include "reflection.grpc.pb.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <set>

namespace zov {

namespace {

namespace v1 = grpc::reflection::v1;
using google::protobuf::DescriptorPool;
using google::protobuf::FileDescriptor;

class ReflectionV1 final : public v1::ServerReflection::Service
{
public:
    explicit ReflectionV1(std::vector<std::string> services)
        : m_services(std::move(services))
    {}

    grpc::Status ServerReflectionInfo(
        grpc::ServerContext *context,
        grpc::ServerReaderWriter<v1::ServerReflectionResponse, v1::ServerReflectionRequest> *stream)
        override
    {
        const DescriptorPool *pool = DescriptorPool::generated_pool();
        // the files this stream has already sent: a client keeps them
        std::set<std::string> sent;
        v1::ServerReflectionRequest request;
        while (!context->IsCancelled() && stream->Read(&request)) {
            v1::ServerReflectionResponse response;
            response.set_valid_host(request.host());
            *response.mutable_original_request() = request;
            switch (request.message_request_case()) {
            case v1::ServerReflectionRequest::kListServices:
                for (const std::string &name : m_services)
                    response.mutable_list_services_response()->add_service()->set_name(name);
                break;
            case v1::ServerReflectionRequest::kFileByFilename:
                answerFile(pool->FindFileByName(request.file_by_filename()), sent, response);
                break;
            case v1::ServerReflectionRequest::kFileContainingSymbol:
                answerFile(pool->FindFileContainingSymbol(request.file_containing_symbol()), sent,
                           response);
                break;
            case v1::ServerReflectionRequest::kFileContainingExtension: {
                const auto *type = pool->FindMessageTypeByName(
                    request.file_containing_extension().containing_type());
                const auto *extension =
                    type ? pool->FindExtensionByNumber(
                               type, request.file_containing_extension().extension_number())
                         : nullptr;
                answerFile(extension ? extension->file() : nullptr, sent, response);
                break;
            }
            case v1::ServerReflectionRequest::kAllExtensionNumbersOfType: {
                const auto *type =
                    pool->FindMessageTypeByName(request.all_extension_numbers_of_type());
                if (!type) {
                    notFound(response);
                    break;
                }
                std::vector<const google::protobuf::FieldDescriptor *> extensions;
                pool->FindAllExtensions(type, &extensions);
                auto *numbers = response.mutable_all_extension_numbers_response();
                numbers->set_base_type_name(type->full_name());
                for (const auto *extension : extensions)
                    numbers->add_extension_number(extension->number());
                break;
            }
            default:
                response.mutable_error_response()->set_error_code(
                    int(grpc::StatusCode::UNIMPLEMENTED));
                response.mutable_error_response()->set_error_message("unknown request");
            }
            if (!stream->Write(response))
                break;
        }
        return grpc::Status::OK;
    }

private:
    static void notFound(v1::ServerReflectionResponse &response)
    {
        response.mutable_error_response()->set_error_code(int(grpc::StatusCode::NOT_FOUND));
        response.mutable_error_response()->set_error_message("not found");
    }

    // the file and the files it imports, those not sent on this stream yet
    static void answerFile(const FileDescriptor *file, std::set<std::string> &sent,
                           v1::ServerReflectionResponse &response)
    {
        if (!file) {
            notFound(response);
            return;
        }
        auto *files = response.mutable_file_descriptor_response();
        std::vector<const FileDescriptor *> pending{file};
        while (!pending.empty()) {
            const FileDescriptor *next = pending.back();
            pending.pop_back();
            if (!sent.insert(next->name()).second && next != file)
                continue;
            google::protobuf::FileDescriptorProto proto;
            next->CopyTo(&proto);
            proto.SerializeToString(files->add_file_descriptor_proto());
            for (int i = 0; i < next->dependency_count(); ++i)
                pending.push_back(next->dependency(i));
        }
    }

    const std::vector<std::string> m_services;
};

} // namespace

std::unique_ptr<grpc::Service> makeReflectionV1(std::vector<std::string> services)
{
    return std::make_unique<ReflectionV1>(std::move(services));
}

} // namespace zov
