// An ALSA control plugin that stands in for a sound card's mixer: the control elements, types,
// channel counts and item lists of two common onboard codecs, as their kernel drivers present
// them, so that ALSA's own simple mixer sees a real card's controls. Values live in a state file
// (one line per element: its values), so that they outlast each opening as a card's do.
//
// Configuration: ctl.NAME { type quorvane_card model "hda" | "ac97" state "/path" }.
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TElement {
  const char* name;
  unsigned index;
  snd_ctl_elem_type_t type;
  unsigned count;  // values (channels)
  long min, max;   // integers
  std::vector<const char*> items;
  std::vector<long> initial;  // one per value
};

struct TCardModel {
  const char *id, *driver, *name, *longname, *mixername;
  std::vector<TElement> elements;
};

constexpr auto kBool = SND_CTL_ELEM_TYPE_BOOLEAN;
constexpr auto kInt = SND_CTL_ELEM_TYPE_INTEGER;
constexpr auto kEnum = SND_CTL_ELEM_TYPE_ENUMERATED;

// A desktop board's HDA codec: two ADCs, each with its capture switch and volume and an
// "Input Source" choosing among the jacks; playback controls, and a playback enumeration that
// must not be taken for a source.
const TCardModel kHda = {
    "PCH", "HDA-Intel", "HDA Intel PCH", "HDA Intel PCH at 0xf7f10000 irq 32", "Realtek ALC892",
    {
        {"Master Playback Volume", 0, kInt, 1, 0, 87, {}, {60}},
        {"Master Playback Switch", 0, kBool, 1, 0, 1, {}, {1}},
        {"Capture Switch", 0, kBool, 2, 0, 1, {}, {1, 1}},
        {"Capture Volume", 0, kInt, 2, 0, 63, {}, {39, 39}},
        {"Capture Switch", 1, kBool, 2, 0, 1, {}, {0, 0}},
        {"Capture Volume", 1, kInt, 2, 0, 63, {}, {39, 39}},
        {"Input Source", 0, kEnum, 1, 0, 0, {"Rear Mic", "Front Mic", "Line"}, {0}},
        {"Input Source", 1, kEnum, 1, 0, 0, {"Rear Mic", "Front Mic", "Line"}, {2}},
        {"Auto-Mute Mode", 0, kEnum, 1, 0, 0, {"Disabled", "Enabled"}, {1}},
        {"Rear Mic Boost Volume", 0, kInt, 2, 0, 3, {}, {0, 0}},
    }};

// An AC'97 codec: one "Capture Source" enumeration with a value per channel, and the sources'
// own playback controls.
const TCardModel kAc97 = {
    "ICH5", "ICH4", "Intel ICH5", "Intel ICH5 with AD1985 at irq 17", "Analog Devices AD1985",
    {
        {"Master Playback Switch", 0, kBool, 1, 0, 1, {}, {1}},
        {"Master Playback Volume", 0, kInt, 2, 0, 31, {}, {20, 20}},
        {"Mic Playback Switch", 0, kBool, 1, 0, 1, {}, {0}},
        {"Mic Playback Volume", 0, kInt, 1, 0, 31, {}, {8}},
        {"Line Playback Switch", 0, kBool, 1, 0, 1, {}, {0}},
        {"Line Playback Volume", 0, kInt, 2, 0, 31, {}, {8, 8}},
        {"Capture Switch", 0, kBool, 1, 0, 1, {}, {1}},
        {"Capture Volume", 0, kInt, 2, 0, 15, {}, {0, 0}},
        {"Capture Source", 0, kEnum, 2, 0, 0,
         {"Mic", "CD", "Video", "Aux", "Line", "Mix", "Mix Mono", "Phone"}, {4, 4}},
    }};

struct TCard {
  snd_ctl_ext_t ext{};
  const TCardModel* model = nullptr;
  std::string state;
  std::vector<std::vector<long>> values;
  int pipe[2] = {-1, -1};

  void Load() {
    values.clear();
    for (const TElement& e : model->elements) values.push_back(e.initial);
    std::ifstream in(state);
    std::string line;
    for (size_t k = 0; k < values.size() && std::getline(in, line); ++k) {
      std::istringstream fields(line);
      for (long& v : values[k]) fields >> v;
    }
  }
  void Save() const {
    std::ofstream out(state, std::ios::trunc);
    for (const auto& element : values) {
      for (long v : element) out << v << ' ';
      out << '\n';
    }
  }
};

TCard* Card(snd_ctl_ext_t* ext) { return static_cast<TCard*>(ext->private_data); }

void Close(snd_ctl_ext_t* ext) {
  TCard* card = Card(ext);
  ::close(card->pipe[0]);
  ::close(card->pipe[1]);
  delete card;
}

int ElemCount(snd_ctl_ext_t* ext) { return static_cast<int>(Card(ext)->model->elements.size()); }

int ElemList(snd_ctl_ext_t* ext, unsigned offset, snd_ctl_elem_id_t* id) {
  const TElement& e = Card(ext)->model->elements.at(offset);
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, e.name);
  snd_ctl_elem_id_set_index(id, e.index);
  return 0;
}

snd_ctl_ext_key_t FindElem(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
  const auto& elements = Card(ext)->model->elements;
  const unsigned numid = snd_ctl_elem_id_get_numid(id);
  if (numid > 0 && numid <= elements.size()) return numid - 1;
  for (size_t k = 0; k < elements.size(); ++k)
    if (std::strcmp(elements[k].name, snd_ctl_elem_id_get_name(id)) == 0 &&
        elements[k].index == snd_ctl_elem_id_get_index(id))
      return k;
  return SND_CTL_EXT_KEY_NOT_FOUND;
}

int GetAttribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned* acc, unsigned* count) {
  const TElement& e = Card(ext)->model->elements.at(key);
  *type = e.type;
  *acc = SND_CTL_EXT_ACCESS_READWRITE;
  *count = e.count;
  return 0;
}

int GetIntegerInfo(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* min, long* max, long* step) {
  const TElement& e = Card(ext)->model->elements.at(key);
  *min = e.min;
  *max = e.max;
  *step = 0;
  return 0;
}

int GetEnumeratedInfo(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned* items) {
  *items = static_cast<unsigned>(Card(ext)->model->elements.at(key).items.size());
  return 0;
}

int GetEnumeratedName(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned item, char* name, size_t max) {
  const auto& items = Card(ext)->model->elements.at(key).items;
  if (item >= items.size()) return -EINVAL;
  std::snprintf(name, max, "%s", items[item]);
  return 0;
}

int ReadInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  TCard* card = Card(ext);
  card->Load();
  for (size_t c = 0; c < card->values[key].size(); ++c) value[c] = card->values[key][c];
  return 0;
}

int ReadEnumerated(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned* items) {
  TCard* card = Card(ext);
  card->Load();
  for (size_t c = 0; c < card->values[key].size(); ++c) items[c] = static_cast<unsigned>(card->values[key][c]);
  return 0;
}

template <class T>
int Write(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, const T* value) {
  TCard* card = Card(ext);
  card->Load();
  const TElement& e = card->model->elements.at(key);
  bool changed = false;
  for (size_t c = 0; c < e.count; ++c) {
    const long v = static_cast<long>(value[c]);
    const long limit = e.type == kEnum ? static_cast<long>(e.items.size()) - 1 : e.max;
    if (v < (e.type == kEnum ? 0 : e.min) || v > limit) return -EINVAL;
    changed |= card->values[key][c] != v;
    card->values[key][c] = v;
  }
  card->Save();
  return changed ? 1 : 0;
}

int WriteInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) { return Write(ext, key, value); }
int WriteEnumerated(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned* items) { return Write(ext, key, items); }

void SubscribeEvents(snd_ctl_ext_t*, int) {}
int ReadEvent(snd_ctl_ext_t*, snd_ctl_elem_id_t*, unsigned*) { return -EAGAIN; }

const snd_ctl_ext_callback_t kCallbacks = [] {
  snd_ctl_ext_callback_t c{};
  c.close = Close;
  c.elem_count = ElemCount;
  c.elem_list = ElemList;
  c.find_elem = FindElem;
  c.get_attribute = GetAttribute;
  c.get_integer_info = GetIntegerInfo;
  c.get_enumerated_info = GetEnumeratedInfo;
  c.get_enumerated_name = GetEnumeratedName;
  c.read_integer = ReadInteger;
  c.read_enumerated = ReadEnumerated;
  c.write_integer = WriteInteger;
  c.write_enumerated = WriteEnumerated;
  c.subscribe_events = SubscribeEvents;
  c.read_event = ReadEvent;
  return c;
}();

void Copy(char* to, size_t size, const char* from) { std::snprintf(to, size, "%s", from); }

}  // namespace

extern "C" SND_CTL_PLUGIN_DEFINE_FUNC(quorvane_card) {
  (void)root;
  std::string model, state;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* key = nullptr;
    const char* text = nullptr;
    if (snd_config_get_id(n, &key) < 0) continue;
    if (!std::strcmp(key, "comment") || !std::strcmp(key, "type") || !std::strcmp(key, "hint")) continue;
    if (snd_config_get_string(n, &text) < 0) return -EINVAL;
    if (!std::strcmp(key, "model"))
      model = text;
    else if (!std::strcmp(key, "state"))
      state = text;
    else
      return -EINVAL;
  }
  auto* card = new TCard;
  card->model = model == "ac97" ? &kAc97 : model == "hda" ? &kHda : nullptr;
  card->state = state;
  if (!card->model || state.empty() || ::pipe(card->pipe) != 0) {
    delete card;
    return -EINVAL;
  }
  card->Load();
  snd_ctl_ext_t& ext = card->ext;
  ext.version = SND_CTL_EXT_VERSION;
  ext.card_idx = 0;
  Copy(ext.id, sizeof ext.id, card->model->id);
  Copy(ext.driver, sizeof ext.driver, card->model->driver);
  Copy(ext.name, sizeof ext.name, card->model->name);
  Copy(ext.longname, sizeof ext.longname, card->model->longname);
  Copy(ext.mixername, sizeof ext.mixername, card->model->mixername);
  ext.poll_fd = card->pipe[0];
  ext.callback = &kCallbacks;
  ext.private_data = card;
  if (int error = snd_ctl_ext_create(&ext, name, mode); error < 0) {
    Close(&ext);
    return error;
  }
  *handlep = ext.handle;
  return 0;
}
extern "C" {
SND_CTL_PLUGIN_SYMBOL(quorvane_card)
}
