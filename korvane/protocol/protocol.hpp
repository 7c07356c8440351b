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
inline constexpr const char* kStorePath = "/pipeline/store";      // replicas' rendezvous keys
inline constexpr const char* kRegroupPath = "/pipeline/regroup";  // a stage's next replica group
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

// Lanes: with --replicas R a task holds R whole pipelines ("lanes") of S stages each; a
// trainer's neighbours are those of its own lane, and the replicas of one stage (one per
// lane) average their gradients in a group of their own. The join answer then carries
//   "lane": L, "lanes": R (0 and 1 without replicas), and, when R > 1,
//   "group": {"generation": G, "rank": K, "world_size": N}  (the stage's group now).
namespace field {
inline constexpr const char* kLane = "lane";
inline constexpr const char* kLanes = "lanes";  // join answer: the count; regroup answer: the live ones
inline constexpr const char* kGroup = "group";
inline constexpr const char* kGeneration = "generation";
inline constexpr const char* kRank = "rank";
inline constexpr const char* kWorldSize = "world_size";
}  // namespace field
inline constexpr const char* kFeatureLanes = "lanes";  // listed in the join answer's "features"
inline constexpr const char* kFeatureStore = "store";
inline constexpr const char* kFeatureRegroup = "regroup";

// The rendezvous store (POST kStorePath, JSON). Keys live in the coordinator, scoped to the
// task's current run, and only its members may use them (bearer token and X-Member-Secret
// as for relays); the keys go when the run ends. Every body holds "task_id",
// "trainer_id" and "op"; values travel as standard base64 text. Answers, 200 unless noted:
//   {"op":"set","key":K,"value":V}                 -> {"stored": true}
//   {"op":"get","key":K[,"timeout":S]}             -> {"value": V}, waiting until K exists; 504 after S
//   {"op":"add","key":K,"amount":N}                -> {"counter": C}  (int64; a missing key counts as 0,
//                                                     the value is kept as decimal text, as get shows it)
//   {"op":"compare_set","key":K,"expected":E,"desired":D}
//                                                  -> {"value": X}: D when K held E (or K was missing
//                                                     and E is empty), else what K holds (E when missing)
//   {"op":"check","keys":[K...]}                   -> {"present": true|false}  (all of them)
//   {"op":"wait","keys":[K...][,"timeout":S]}      -> {"present": true}, waiting; 504 after S
//   {"op":"delete","key":K}                        -> {"deleted": true|false}
//   {"op":"num_keys"}                              -> {"count": N}
// Refusals: 400 malformed (bad op, type, base64 or key), 403 not a member, 409 the run has
// not formed, 410 the run ended (also ends a held get or wait), 413 key or value too long,
// 507 the run's key count or bytes are used up. A held get or wait counts as a held request.
namespace field {
inline constexpr const char* kOp = "op";
inline constexpr const char* kKey = "key";
inline constexpr const char* kKeys = "keys";
inline constexpr const char* kValue = "value";
inline constexpr const char* kExpected = "expected";
inline constexpr const char* kDesired = "desired";
inline constexpr const char* kAmount = "amount";
inline constexpr const char* kTimeout = "timeout";
inline constexpr const char* kStored = "stored";
inline constexpr const char* kCounter = "counter";
inline constexpr const char* kPresent = "present";
inline constexpr const char* kDeleted = "deleted";
inline constexpr const char* kCount = "count";
}  // namespace field
namespace store_op {
inline constexpr const char* kSet = "set";
inline constexpr const char* kGet = "get";
inline constexpr const char* kAdd = "add";
inline constexpr const char* kCompareSet = "compare_set";
inline constexpr const char* kCheck = "check";
inline constexpr const char* kWait = "wait";
inline constexpr const char* kDelete = "delete";
inline constexpr const char* kNumKeys = "num_keys";
}  // namespace store_op
inline constexpr std::size_t kMaxStoreKey = 1024;              // bytes of one key
inline constexpr std::size_t kMaxStoreValue = 16u << 10;       // bytes of one value, decoded
inline constexpr std::size_t kMaxStoreKeysPerRequest = 1024;   // check and wait
inline constexpr std::size_t kMaxStoreKeysPerRun = 4096;
inline constexpr std::size_t kMaxStoreBytesPerRun = 4u << 20;  // keys, values and bookkeeping
inline constexpr double kStoreWaitS = 30.0;                    // a get or wait that names no timeout

// Losing a replica (POST kRegroupPath, JSON). A replica whose collective failed asks for
// the next generation of its stage's group:
//   {"task_id", "trainer_id", "generation": G (the generation that failed), "error": text?}
// The coordinator holds the asks of a stage until every live lane's replica of it has
// asked, or the regroup window (--regroup-window, 3 s) has passed since the first ask. A
// lane whose replica did not ask is lost: its missing member is marked failed ("lost from
// the replica group of stage N"), and every member of that lane is answered 410 on its
// held and later fetches, naming that trainer. A lane also drops out when one of its
// members leaves with an error; a lost lane is lost for every stage. The answer:
//   200 {"generation": G+1, "rank": K, "world_size": N, "lanes": [live lanes, ascending]}
// Asking again with a generation already passed answers the current group (a lost answer
// can be asked for again); 410 when the asker's own lane is lost; 409 for a generation
// ahead of the group's; 400 without replicas.
inline constexpr double kRegroupWindowS = 3.0;
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
