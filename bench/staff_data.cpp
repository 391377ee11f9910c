#include "bench/staff_data.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <numeric>

namespace tabula::bench {

namespace {

constexpr const char* kFirstNames[] = {
    "Aaron",    "Abigail", "Adam",    "Alice",   "Amelia", "Andrew", "Anna",   "Arthur", "Beatriz",
    "Benjamin", "Bianca",  "Bruno",   "Camille", "Carlos", "Chloe",  "Clara",  "Daniel", "Daria",
    "David",    "Diego",   "Eleanor", "Elias",   "Emma",   "Ethan",  "Fatima", "Felix",  "Fiona",
    "Gabriel",  "Grace",   "Hannah",  "Hugo",    "Ines",   "Isaac",  "Ivy",    "Jacob",  "Jasmine",
    "Joao",     "Julia",   "Kai",     "Karen",   "Leo",    "Lena",   "Liam",   "Lucia",  "Marco",
    "Maria",    "Mateo",   "Mia",     "Nadia",   "Noah",   "Nora",   "Oliver", "Olivia", "Omar",
    "Paula",    "Peter",   "Quinn",   "Rafael",  "Rosa",   "Samuel", "Sofia",  "Tobias", "Ursula",
    "Victor",   "Wendy",   "Xavier",  "Yara",    "Zoe"};

constexpr const char* kLastNames[] = {
    "Abbott",    "Almeida",  "Andersen", "Baker",     "Barros",   "Becker",  "Bennett",
    "Brooks",    "Carvalho", "Castillo", "Chen",      "Clarke",   "Coleman", "Costa",
    "Cruz",      "Dalton",   "Dias",     "Dubois",    "Duarte",   "Edwards", "Evans",
    "Fernandes", "Fischer",  "Fleming",  "Foster",    "Garcia",   "Gomes",   "Graham",
    "Gray",      "Hansen",   "Harper",   "Hayes",     "Hoffmann", "Hughes",  "Ibarra",
    "Jansen",    "Jensen",   "Johnson",  "Keller",    "Kennedy",  "Klein",   "Kowalski",
    "Lambert",   "Lopes",    "Lopez",    "Marques",   "Martin",   "Mendes",  "Meyer",
    "Miller",    "Moreau",   "Morgan",   "Murphy",    "Nielsen",  "Novak",   "Nunes",
    "OConnor",   "Oliveira", "Ortega",   "Parker",    "Pereira",  "Peters",  "Pinto",
    "Quinlan",   "Ramos",    "Reed",     "Reis",      "Ribeiro",  "Richter", "Rocha",
    "Rossi",     "Santos",   "Schmidt",  "Schneider", "Silva",    "Sousa",   "Stewart",
    "Sullivan",  "Teixeira", "Thompson", "Torres",    "Turner",   "Ulrich",  "Vargas",
    "Vieira",    "Wagner",   "Walker",   "Weber",     "Wilson",   "Wright",  "Young",
    "Zimmermann"};

constexpr const char* kTabs[] = {"Clients",  "Deliveries", "Counseling", "Alerts",
                                 "Agencies", "Reports",    "Routes",     "Volunteers"};
constexpr const char* kSortOrders[] = {"Name", "Route", "Date", "Client ID", "Agency Name"};
constexpr char kAccessLevels[] = {'W', 'R', 'O'};
constexpr char kPrompts[] = {'M', '1', '4', 'D', 'H'};
constexpr char kDisplays[] = {'N', 'A', 'F', 'R'};

template <typename T, std::size_t N>
constexpr std::uint32_t CountOf(const T (&)[N]) {
  return static_cast<std::uint32_t>(N);
}

template <std::size_t Capacity>
void SetText(TText<Capacity>* text, std::string_view value) {
  const std::size_t size = std::min(value.size(), Capacity);
  std::memcpy(text->data, value.data(), size);
  text->data[size] = '\0';
  text->size = static_cast<std::uint8_t>(size);
}

template <std::size_t Capacity>
void Append(TText<Capacity>* text, std::string_view value) {
  const std::size_t size = std::min(value.size(), Capacity - text->size);
  std::memcpy(text->data + text->size, value.data(), size);
  text->size = static_cast<std::uint8_t>(text->size + size);
  text->data[text->size] = '\0';
}

template <std::size_t Capacity>
void AppendNumber(TText<Capacity>* text, std::uint32_t value) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::reverse(digits, digits + count);
  Append(text, std::string_view(digits, static_cast<std::size_t>(count)));
}

// A full name; one name in sixteen is written in capitals, one in sixteen in small letters,
// so that the case-insensitive index has work to do.
void MakeName(TRandom& random, TText<25>* out) {
  out->size = 0;
  Append(out, kFirstNames[random.Below(CountOf(kFirstNames))]);
  Append(out, " ");
  Append(out, kLastNames[random.Below(CountOf(kLastNames))]);
  const std::uint32_t style = random.Below(16);
  for (std::size_t i = 0; i < out->size; ++i) {
    const unsigned char c = static_cast<unsigned char>(out->data[i]);
    if (style == 0) out->data[i] = static_cast<char>(std::toupper(c));
    if (style == 1) out->data[i] = static_cast<char>(std::tolower(c));
  }
}

std::uint64_t RowSeed(std::uint64_t seed, std::uint32_t row, std::uint64_t stream) {
  return seed ^ (static_cast<std::uint64_t>(row) * 0xD6E8FEB86659FD93ull) ^ (stream << 56);
}

}  // namespace

TPermutation::TPermutation(std::uint32_t n, std::uint64_t seed)
    : n_(std::max<std::uint32_t>(n, 1)) {
  TRandom random(seed);
  a_ = 1 + random.Next() % n_;
  while (std::gcd(a_, n_) != 1) a_ = a_ % n_ + 1;
  c_ = random.Next() % n_;
}

TStaffGenerator::TStaffGenerator(std::uint32_t n, std::uint64_t seed)
    : n_(n), seed_(seed), ids_(n, seed ^ 0x1D5) {}

void TStaffGenerator::Row(std::uint32_t row, TStaffRow* out) const {
  TRandom random(RowSeed(seed_, row, 1));
  out->StaffId = StaffIdOf(row);
  MakeName(random, &out->StaffName);
  out->Active = random.Below(8) != 0;
  out->Nutritionist = random.Below(4) == 0;
  out->CaseManager = random.Below(3) == 0;
  out->Driver = random.Below(5) == 0;
  out->Volunteer = random.Below(6) == 0;
  out->Password.size = 0;
  for (int i = 0; i < 10; ++i) {
    const char c = static_cast<char>('a' + random.Below(26));
    Append(&out->Password, std::string_view(&c, 1));
  }
  const char access = kAccessLevels[random.Below(CountOf(kAccessLevels))];
  SetText(&out->AccessLevel, std::string_view(&access, 1));
  // User IDs: initial, surname and the staff number, unique by the number.
  out->UserId.size = 0;
  Append(&out->UserId, std::string_view(out->StaffName.data, 1));
  std::string_view surname = out->StaffName.View();
  surname.remove_prefix(surname.find(' ') + 1);
  Append(&out->UserId, surname.substr(0, 4));
  AppendNumber(&out->UserId, static_cast<std::uint32_t>(out->StaffId));
  SetText(&out->PreferredTab, kTabs[random.Below(CountOf(kTabs))]);
  SetText(&out->DSortOrder, kSortOrders[random.Below(CountOf(kSortOrders))]);
  out->VisibleTabs = static_cast<std::int32_t>(random.Below(1u << 12));
  out->DTab = static_cast<std::int32_t>(random.Below(12));
  SetText(&out->ConserveResources, random.Below(2) == 0 ? "Y" : "N");
  out->PreferredDeliveryReport = static_cast<std::int32_t>(random.Below(20));
  out->PreferredCounselingReport = static_cast<std::int32_t>(random.Below(20));
  out->PreferredAlertsReport = static_cast<std::int32_t>(random.Below(20));
  out->PreferredAgencyReport = static_cast<std::int32_t>(random.Below(20));
  out->ExecuteOnOpenQuery = random.Below(10) == 0;
  out->ExecuteOnCloseQuery = random.Below(10) == 0;
  const char prompt = kPrompts[random.Below(CountOf(kPrompts))];
  SetText(&out->PrepareDataPrompt, std::string_view(&prompt, 1));
  const char display = kDisplays[random.Below(CountOf(kDisplays))];
  SetText(&out->DisplayPreparedData, std::string_view(&display, 1));
  // Days from 2000-01-01 (day 730120) over twenty-five years.
  out->CreateDate = 730120 + static_cast<std::int32_t>(random.Below(9131));
  out->LastUpdated = (static_cast<double>(out->CreateDate) + random.Below(365)) * 86400000.0 +
                     random.Below(86400000);
}

void TStaffGenerator::NewName(std::uint32_t row, TText<25>* out) const {
  TRandom random(RowSeed(seed_, row, 2));
  MakeName(random, out);
}

std::uint64_t MixRecord(std::int32_t staff_id, std::string_view name, std::string_view user_id) {
  // FNV-1a over the three values, then a final avalanche.
  std::uint64_t hash = 0xCBF29CE484222325ull ^ static_cast<std::uint32_t>(staff_id);
  auto mix = [&hash](std::string_view text) {
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001B3ull;
    hash = (hash ^ 0xFF) * 0x100000001B3ull;
  };
  mix(name);
  mix(user_id);
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  return hash ^ (hash >> 33);
}

}  // namespace tabula::bench
