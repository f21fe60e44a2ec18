#include "datatypes/image-record.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/handle-registry.h"
#include "datatype-fixture.h"
#include "test-capture.h"
#include "datatypes/image.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"

using namespace vum;
namespace ir = vum::image_record;

namespace {

class ImageRecordTest : public DatatypeTest {
protected:
    // The registry starts over with the next test: the records the test
    // left unreachable give their pixels back first.
    void TearDown() override {
        gc::collect();
        ir::set_cache_releaser(nullptr);
        DatatypeTest::TearDown();
    }

    // A w x h image whose pixel i is B = i, G = 2i, R = 3i, opacity = 255 - i.
    static imaging::Pixels pattern(int32_t w, int32_t h) {
        imaging::Pixels p;
        p.width = w;
        p.height = h;
        for (int32_t i = 0; i < w * h; i++)
            for (uint8_t b : {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i), uint8_t(255 - i)}) p.bgra.push_back(b);
        return p;
    }

    static inline std::vector<uint32_t> released;
    static void note_release(uint32_t token) { released.push_back(token); }
};

// A record made with a source only builds its buffer once, keeps it until
// drawing marks the pixels changed, and then builds it again from the drawn
// (premultiplied) source.
TEST_F(ImageRecordTest, TheBufferIsBuiltOnceAndAgainAfterDrawing) {
    gc::Local img({type_none, 0, 0, 0});
    image::make_from_pixels(&img, pattern(3, 2), 0, true, false);
    uint32_t node = img.w2;
    EXPECT_EQ(ir::flags(node), 0u);
    EXPECT_EQ(ir::word(node, ir::word_bitmap), 0u);
    imaging::Pixels* first = &ir::bitmap(node);
    EXPECT_EQ(ir::flags(node), uint32_t(ir::flag_bitmap_current));
    EXPECT_EQ(ir::word(node, ir::word_bitmap), 1u);
    EXPECT_EQ(&ir::bitmap(node), first);
    EXPECT_EQ(first->bgra, pattern(3, 2).bgra);

    imaging::Pixels& target = ir::to_drawable(node);
    EXPECT_EQ(ir::flags(node), uint32_t(ir::flag_drawing_target | ir::flag_premultiplied));
    target.bgra[0] = 100;  // pixel 0 is fully opaque: premultiplied and straight agree
    ir::mark_changed(node);
    EXPECT_TRUE(ir::flags(node) & ir::flag_drawn);
    EXPECT_EQ(ir::read_pixel(node, 0) & 0xFF, 100u);
    EXPECT_FALSE(ir::flags(node) & ir::flag_drawn);
    EXPECT_TRUE(ir::flags(node) & ir::flag_bitmap_current);
}

// A pixel write marks the buffer written; the next source in either alpha
// mode is rebuilt from it and clears the mark. Switching the mode replaces
// the source and drops the drawing cache.
TEST_F(ImageRecordTest, WrittenPixelsRebuildTheSourceAndAModeSwitchDropsTheCache) {
    released.clear();
    ir::set_cache_releaser(note_release);
    gc::Local img({type_none, 0, 0, 0});
    image::make_blank(&img, 2, 1, &img);
    uint32_t node = img.w2;
    EXPECT_EQ(ir::flags(node), uint32_t(ir::flag_bitmap_current | ir::flag_bitmap_written));
    ir::write_pixel(node, 1, 0x80FF0000);  // red at half opacity
    for (bool premultiplied : {true, false}) {
        ir::write_pixel(node, 0, 0xFF000000 | (premultiplied ? 1u : 2u));
        EXPECT_TRUE(ir::flags(node) & ir::flag_bitmap_written);
        const imaging::Pixels& s = ir::source(node, premultiplied);
        EXPECT_FALSE(ir::flags(node) & ir::flag_bitmap_written);
        EXPECT_EQ(bool(ir::flags(node) & ir::flag_premultiplied), premultiplied);
        EXPECT_EQ(s.bgra[0], premultiplied ? 1 : 2);
        EXPECT_EQ(s.bgra[6], premultiplied ? 128 : 255);  // red scaled by 128/255 when premultiplied
    }
    ir::set_cache(node, 7);
    ir::source(node, false);
    EXPECT_EQ(ir::word(node, ir::word_cache), 7u);  // the same mode keeps it
    ir::source(node, true);
    EXPECT_EQ(ir::word(node, ir::word_cache), 0u);
    EXPECT_EQ(released, std::vector<uint32_t>{7});
}

// The drawing cache survives one collection after use and goes with the
// second; the pixels go with the record once nothing reaches it.
TEST_F(ImageRecordTest, CollectionsDropAnUnusedCacheAndFinalizeUnreachableRecords) {
    released.clear();
    ir::set_cache_releaser(note_release);
    int32_t before = handle_registry::live_count();
    {
        gc::Local img({type_none, 0, 0, 0});
        image::make_blank(&img, 4, 4, &img);
        EXPECT_EQ(handle_registry::live_count(), before + 1);
        ir::set_cache(img.w2, 9);
        EXPECT_EQ(ir::get_cache(img.w2), 9u);
        gc::collect();
        EXPECT_EQ(ir::word(img.w2, ir::word_cache), 9u);
        gc::collect();
        EXPECT_EQ(ir::word(img.w2, ir::word_cache), 0u);
        EXPECT_EQ(released, std::vector<uint32_t>{9});
        EXPECT_EQ(handle_registry::live_count(), before + 1);
    }
    gc::collect();
    EXPECT_EQ(handle_registry::live_count(), before);
}

// The pixels live in malloc's memory, which the memory manager's own
// figures do not count: the bytes malloc holds show them come and go.
TEST_F(ImageRecordTest, MallocBytesCountThePixelsUntilTheRecordGoes) {
    gc::collect();
    double before = memory::malloc_bytes_in_use();
    {
        gc::Local img({type_none, 0, 0, 0});
        image::make_blank(&img, 1000, 1000, &img);
        EXPECT_GT(memory::malloc_bytes_in_use() - before, 3000000.0);
    }
    gc::collect();
    EXPECT_LT(memory::malloc_bytes_in_use() - before, 100000.0);
}

TEST_F(ImageRecordTest, PremultiplyingRoundsAndUndoesWithinOneStep) {
    imaging::Pixels p = pattern(16, 16);
    imaging::Pixels pre = ir::premultiply(p);
    EXPECT_EQ(pre.bgra[4 * 10 + 2], uint8_t((30 * 245 + 127) / 255));
    imaging::Pixels back = ir::unpremultiply(pre);
    for (size_t i = 0; i < p.bgra.size(); i++) {
        if (i % 4 == 3) {
            EXPECT_EQ(back.bgra[i], p.bgra[i]);
            continue;
        }
        int alpha = p.bgra[i - i % 4 + 3];
        int step = alpha ? 255 / alpha + 1 : 255;
        EXPECT_LE(std::abs(int(back.bgra[i]) - int(p.bgra[i])), step) << "byte " << i;
    }
}

}  // namespace

namespace {

class ImageEncodeTest : public DatatypeTest {
protected:
    void TearDown() override {
        gc::collect();
        DatatypeTest::TearDown();
    }
};

// A format code no encoder has says so on the console and gives no value;
// the codes' own checks (a 0x0 image) come after it.
TEST_F(ImageEncodeTest, AnUnknownFormatCodeFindsNoEncoder) {
    gc::Local img({type_none, 0, 0, 0});
    image::make_blank(&img, 2, 2, &img);
    for (int32_t code : {-1, 5, 99}) {
        gc::Local result({type_none, 0, 0, 0});
        std::string text = capture_output([&] { image::encode(&img, code, &result); });
        EXPECT_EQ(text, "Cannot find image encoder\n") << code;
        EXPECT_EQ(cell::type(&result), type_unset) << code;
    }
}

}  // namespace
