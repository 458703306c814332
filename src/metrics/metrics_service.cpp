#include "metrics/metrics_service.h"

#include "metrics/exposition.h"

namespace vorn {
namespace {

bool metrics_on(const Options& o) { return !o.metrics_listen.empty() || !o.metrics_textfile.empty(); }

void start_listener(AppCore& core, MetricsService& m) {
  m.listener.reset();
  const std::string& listen = core.options.metrics_listen;
  m.listen = listen;
  if (listen.empty()) return;
  std::optional<ListenAddress> address = split_listen(listen);
  Result<std::unique_ptr<MetricsListener>> started =
      address ? MetricsListener::start(*address, core.options.metrics_token, m.box)
              : Result<std::unique_ptr<MetricsListener>>::failure("not a host:port");
  if (!started.ok()) {
    log_line(core, "Metrics listener could not start on " + listen + ": " + started.error());
    return;
  }
  m.listener = std::move(started).value();
  if (!is_loopback_host(address->host)) log_line(core, "Metrics are served to every host that can reach " + listen);
}

void apply_options(AppCore& core, MetricsService& m, Instant now) {
  m.generation = core.options_generation;
  const Options& o = core.options;
  take_metrics_snapshot(core, now);  // what the listener and the file serve first
  if (o.metrics_listen != m.listen || !m.listener) {
    m.token = o.metrics_token;
    start_listener(core, m);  // a failed start is tried again at the next change
  } else if (o.metrics_token != m.token) {
    m.token = o.metrics_token;
    m.listener->set_token(m.token);
  }
  if (o.metrics_textfile != m.textfile_path) {
    if (m.textfile) m.textfile->end_without_waiting();
    m.textfile.reset();  // its thread deletes the file it wrote
    m.textfile_path = o.metrics_textfile;
    if (!m.textfile_path.empty()) {
      m.textfile = std::make_unique<MetricsTextfile>(m.textfile_path, m.box, core.event_sender, core.notice,
                                                     m.file_period_);
    }
  }
}

}  // namespace

void MetricsServiceDeleter::operator()(MetricsService* service) const { delete service; }

void take_metrics_snapshot(AppCore& core, Instant now) {
  MetricsService& m = *core.metrics;
  const std::uint32_t miner_pid = core.miner_child ? core.miner_child->pid() : 0;
  // A miner read the moment it started may not show its memory yet.
  const bool miner_unread = miner_pid != 0 && (!m.figures.miner || m.figures.miner->resident_bytes == 0);
  if (!m.figures_at || now < *m.figures_at || now - *m.figures_at >= kProcessFiguresPeriod ||
      miner_pid != m.figures_miner_pid || miner_unread) {
    m.figures.program = platform::own_process_stats();
    if (!m.program_start_unix) m.program_start_unix = platform::own_start_time_unix();
    m.figures.program_start_unix = *m.program_start_unix;
    m.figures.miner = core.miner_child ? core.miner_child->stats() : std::nullopt;
    m.figures_at = now;
    m.figures_miner_pid = miner_pid;
  }
  m.box->set(metrics_exposition(core, m.figures));
  m.snapshot_at = now;
}

void update_metrics(AppCore& core, Instant now) {
  if (core.metrics && core.metrics->generation == core.options_generation) {
    const std::optional<Instant>& at = core.metrics->snapshot_at;
    if (!at || now < *at || now - *at >= kSnapshotPeriod) take_metrics_snapshot(core, now);
    return;
  }
  if (!core.metrics) {
    if (!metrics_on(core.options)) return;
    core.metrics.reset(new MetricsService());
  } else if (!metrics_on(core.options)) {
    if (core.metrics->textfile) core.metrics->textfile->end_without_waiting();
    core.metrics.reset();  // the listener stops, the file goes
    return;
  }
  apply_options(core, *core.metrics, now);
}

}  // namespace vorn
