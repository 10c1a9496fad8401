#include "appserver.h"

#include "batchprotocol.h"
#include "error.h"

#include <exception>

namespace zov {

namespace {

// The calls made one by one as they are sent; their answers kept, errors included. As
// on a stream, no batch runs after a refused one.
class OneByOne : public CallStream
{
public:
    explicit OneByOne(AppServer &server)
        : m_server(server)
    {}

    int send(Method method, const QVariantList &args, const Metadata &own) override
    {
        for (const auto &[key, value] : own)
            m_server.setMetadata(key, value);
        Answer a;
        const bool batch = isBatch(method);
        if (batch && !m_batches.mayGo()) {
            a.value = m_batches.refusal();
        } else {
            try {
                QVariantList copy = args;
                a.value = m_server.invoke(method, copy);
                if (batch)
                    m_batches.noteAnswer(a.value);
            } catch (const Error &e) {
                a.failed = std::current_exception(); // a database failure stays one
                if (batch)
                    m_batches.noteFailure(e.text());
            }
        }
        for (const auto &pair : own)
            m_server.setMetadata(pair.first, QString());
        m_answers.append(a);
        return static_cast<int>(m_answers.size()) - 1;
    }
    bool waitFor(int position, int) override { return position < m_answers.size(); }
    QVariant answer(int position) override
    {
        Answer &a = m_answers[position];
        if (a.failed)
            std::rethrow_exception(a.failed);
        return std::move(a.value);
    }
    void finish() override {}

private:
    struct Answer
    {
        QVariant value;
        std::exception_ptr failed;
    };
    AppServer &m_server;
    QList<Answer> m_answers;
    BatchGate m_batches;
};

} // namespace

std::unique_ptr<CallStream> AppServer::openStream()
{
    return std::make_unique<OneByOne>(*this);
}

} // namespace zov
