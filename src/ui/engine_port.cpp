#include "ui/engine_port.h"

namespace quellmark {

namespace {

class RealEnginePort final : public EnginePort {
public:
    explicit RealEnginePort(std::shared_ptr<AnalysisEngine> engine) : m_engine(std::move(engine)) {}
    ~RealEnginePort() override {
        if (m_observerId) m_engine->removeObserver(*m_observerId);
    }

    EngineSnapshot snapshot() const override { return m_engine->snapshot(); }
    void start(std::filesystem::path folder, AppSettings settings) override {
        m_engine->start(std::move(folder), std::move(settings));
    }
    void cancel() override { m_engine->cancel(); }
    void clearErrorMessage() override { m_engine->clearErrorMessage(); }
    void observe(std::function<void()> onChange) override {
        if (m_observerId) m_engine->removeObserver(*m_observerId);
        m_observerId = m_engine->addObserver(std::move(onChange));
    }

private:
    std::shared_ptr<AnalysisEngine> m_engine;
    std::optional<int> m_observerId;
};

}  // namespace

std::unique_ptr<EnginePort> makeEnginePort(std::shared_ptr<AnalysisEngine> engine) {
    return std::make_unique<RealEnginePort>(std::move(engine));
}

}  // namespace quellmark
