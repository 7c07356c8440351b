// Figures the command-line program prints after joining: parameter memory of the slice and
// what the tensor compression does to a tensor of the pipeline's activation shape.
#include "korvane/carrowel/compression/boundary_message.hpp"
#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"

namespace korvane::carrowel {

namespace {
long long memory_usage(py::object self) { return Trainer::of(self).model.parameter_bytes(); }

py::dict compression_stats(py::object self) {
  py::dict stats;
  if (!torch_available()) return stats;
  py::module_ torch = py::module_::import("torch");
  py::object sample = torch.attr("randn")(2, 512, 768, py::arg("device") = "cpu");
  const Codec codec = codec_by_name(Trainer::of(self).boundary.activation_codec);
  if (codec != Codec::sign) {  // what an activation of that shape costs in the trainer's codec
    const long long original = 2LL * 512 * 768 * 4;
    const auto coded = static_cast<long long>(encode_boundary(sample, codec, false).size());
    stats["original_bytes"] = py::int_(original);
    stats["compressed_bytes"] = py::int_(coded);
    stats["compression_ratio"] = py::float_(double(original) / double(coded));
    stats["group_size"] = py::int_(static_cast<long long>(compression::default_group_size(codec)));
    return stats;
  }
  // Through the module's public function, so that this file needs no tensor headers.
  py::object compress = py::module_::import("korvane.carrowel").attr("compress_tensor");
  py::object record = compress(sample);
  stats["original_bytes"] = py::int_(record.attr("num_elements")().cast<long long>() * 4);
  stats["compressed_bytes"] = py::int_(record.attr("size_bytes")().cast<long long>());
  stats["compression_ratio"] = py::float_(record.attr("compression_ratio")().cast<double>());
  stats["group_size"] = py::int_(record.attr("group_size").cast<long long>());
  return stats;
}
}  // namespace

void bind_statistics(TrainerClass& cls) {
  cls.def("get_memory_usage", &memory_usage, "Bytes held by the parameters of this stage's layers.")
      .def("get_compression_stats", &compression_stats,
           "original_bytes, compressed_bytes, compression_ratio and group_size of a [2, 512, 768]\n"
           "sample coded with the trainer's activation codec (sign: the default group size); {} without torch.");
}

}  // namespace korvane::carrowel
