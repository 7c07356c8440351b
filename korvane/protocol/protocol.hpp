// The coordinator protocol in one place: the routes, header names, query parameters, JSON
// fields and shared limits that the trainer's client and the coordinator service both
// speak. Header-only and free of every other project header, so either side (and any
// tool) can include it without pulling in more.
//
// Contract: constants only; nothing here allocates, throws or keeps state.
#pragma once
#include <cstddef>

namespace korvane::protocol {

// Routes of the pipeline exchanges (POST unless noted).
inline constexpr const char* kJoinPath = "/pipeline/join";
inline constexpr const char* kReadyPath = "/pipeline/ready";
inline constexpr const char* kLeavePath = "/pipeline/leave";
inline constexpr const char* kActivationPath = "/pipeline/activation";  // POST and GET
inline constexpr const char* kGradientPath = "/pipeline/gradient";      // POST and GET
inline constexpr const char* kCheckpointPath = "/pipeline/checkpoint";
inline constexpr const char* kRollbackPath = "/pipeline/rollback";
inline constexpr const char* kNormPath = "/pipeline/norm";      // held until every member posted the step
inline constexpr const char* kReportPath = "/pipeline/report";  // a member's held-out figures

// Routes the service serves to people and monitors (GET).
inline constexpr const char* kStatusPath = "/status";
inline constexpr const char* kStatusTasksPath = "/status/tasks";
inline constexpr const char* kLivePagePath = "/";
inline constexpr const char* kIndexPath = "/index.html";
inline constexpr const char* kMetricsPath = "/metrics";

// Routing headers of a relay post; the service answers a fetch with the sender and loss.
inline constexpr const char* kTaskIdHeader = "X-Task-ID";
inline constexpr const char* kFromTrainerHeader = "X-From-Trainer";
inline constexpr const char* kToTrainerHeader = "X-To-Trainer";
inline constexpr const char* kMicroBatchHeader = "X-Micro-Batch";
inline constexpr const char* kLossHeader = "X-Loss";  // gradients only
// The codec of a relay body; a fetch answer without it carries the plain sign record.
inline constexpr const char* kCodecHeader = "X-Codec";

// Headers beyond the plain protocol; a coordinator that knows none of them ignores them.
inline constexpr const char* kSecretRequestHeader = "X-Member-Secret-Request";  // join: asks for a secret
inline constexpr const char* kSecretRequestValue = "1";
inline constexpr const char* kSecretHeader = "X-Member-Secret";        // proves a member
inline constexpr const char* kClientTimeoutHeader = "X-Client-Timeout";  // seconds the client will wait
inline constexpr const char* kRollbackEpochHeader = "X-Rollback-Epoch";  // relays: the sender's epoch; 409: the new one
inline constexpr const char* kRollbackStepHeader = "X-Rollback-Step";    // 409 answers: the step to reload

// Access with the coordinator's token: "Authorization: Bearer TOKEN" (the live page may
// also use Basic, with the token as the password).
inline constexpr const char* kAuthorizationHeader = "Authorization";
inline constexpr const char* kBearerPrefix = "Bearer ";
inline constexpr const char* kBasicPrefix = "Basic ";

// Query parameters of a relay fetch.
inline constexpr const char* kTaskIdParam = "task_id";
inline constexpr const char* kTrainerIdParam = "trainer_id";
inline constexpr const char* kMicroBatchParam = "micro_batch";
inline constexpr const char* kWaitParam = "wait";  // seconds the service may hold the fetch

// Query parameters of GET /status/tasks, which answers a page of the tasks at a time.
inline constexpr const char* kLimitParam = "limit";  // tasks per page (64 when absent)
inline constexpr const char* kAfterParam = "after";  // the last task id of the previous page
inline constexpr std::size_t kMaxStatusPage = 1024;

// JSON fields of the bodies and answers.
namespace field {
// join, ready, leave, checkpoint and rollback bodies
inline constexpr const char* kTaskId = "task_id";
inline constexpr const char* kTrainerId = "trainer_id";
// join body
inline constexpr const char* kMemoryBytes = "memory_bytes";
inline constexpr const char* kHasGpu = "has_gpu";
// ready body; also in the join answer
inline constexpr const char* kPipelinePosition = "pipeline_position";
// join answer
inline constexpr const char* kLayerStart = "layer_start";
inline constexpr const char* kLayerEnd = "layer_end";
inline constexpr const char* kUpstreamTrainer = "upstream_trainer";
inline constexpr const char* kDownstreamTrainer = "downstream_trainer";
inline constexpr const char* kLayerWeightsHash = "layer_weights_hash";
inline constexpr const char* kMemberSecret = "member_secret";
// join body, sent only when used; the join answer always names the task's pair
inline constexpr const char* kActivationCodec = "activation_codec";
inline constexpr const char* kGradientCodec = "gradient_codec";
inline constexpr const char* kStage = "stage";  // the position a member asks for
// join answer: what this coordinator offers beyond the plain protocol (kFeature*)
inline constexpr const char* kFeatures = "features";
// ready answer
inline constexpr const char* kStatus = "status";
inline constexpr const char* kReady = "ready";
inline constexpr const char* kStages = "stages";
// checkpoint and rollback bodies and answers
inline constexpr const char* kStep = "step";
inline constexpr const char* kEpoch = "epoch";
// norm body ("step" too) and its answer
inline constexpr const char* kSquaredNorm = "squared_norm";
inline constexpr const char* kTotal = "total";
// report body ("step" too), every member optional; null clears a figure
inline constexpr const char* kHeldoutLoss = "heldout_loss";
inline constexpr const char* kHeldoutAccuracy = "heldout_accuracy";
inline constexpr const char* kAveragingSeconds = "averaging_seconds";
inline constexpr const char* kGroupGeneration = "group_generation";
// leave body (why a member failed) and every error answer
inline constexpr const char* kError = "error";
}  // namespace field

// Entries of the join answer's "features".
inline constexpr const char* kFeatureCodecs = "codecs";              // agreed codecs, X-Codec relayed
inline constexpr const char* kFeatureTensorLists = "tensor_lists";  // several records in one relay body
inline constexpr const char* kFeatureStage = "stage";                // "stage" in the join is honoured
inline constexpr const char* kFeatureNorms = "norms";                // POST /pipeline/norm
inline constexpr const char* kFeatureReports = "reports";            // POST /pipeline/report

// Codecs of a relay body, by name. The first is the plain protocol's sign record, which
// a task uses in both directions unless its first member asks otherwise.
inline constexpr const char* kDefaultCodec = "sign";
inline constexpr const char* kCodecNames[] = {"sign", "int8", "int4", "bf16", "fp16", "fp32"};
inline constexpr std::size_t kMaxCodecNameLength = 32;

// Status codes with a meaning of their own in the protocol.
inline constexpr int kStatusRefused = 409;          // join refused; relay of a stale roll-back epoch
inline constexpr int kStatusNeighbourGone = 410;    // the peer a fetch waits on has left or failed
inline constexpr int kStatusNeighbourLate = 504;    // nothing came within the fetch's wait
inline constexpr int kStatusUnknownRoute = 404;     // e.g. a coordinator without roll-backs

// Shared limits.
inline constexpr std::size_t kMaxIdLength = 1024;            // task and trainer ids, in bytes
inline constexpr std::size_t kMaxJsonBody = 64u << 10;       // join, ready, leave, checkpoint, rollback
inline constexpr std::size_t kMaxRelayBody = 64u << 20;      // one relayed tensor
inline constexpr long long kMaxStages = 1'000'000;           // a sane bound on a ready answer's "stages"
inline constexpr double kNoticeTimeoutS = 10.0;              // ready, leave, checkpoint and rollback
inline constexpr double kJoinWaitS = 300.0;                  // the service holds a join this long by default
inline constexpr double kFetchWaitS = 25.0;                  // ... and a fetch or norm that names no wait
inline constexpr std::size_t kMaxNormSteps = 64;             // steps of one run whose norms are gathering

}  // namespace korvane::protocol
