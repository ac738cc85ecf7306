// SPDX-License-Identifier: GPL-3.0-or-later
// The engine alone, through its host interface: no port, no widgets, no real waits.
#include "update/TransferEngine.h"
#include "serial/CommError.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Writes down every call as a short line: "block 3", "switch", "bar 0", "wait 1000", ...
class RecordingHost : public EngineHost {
  public:
    std::vector<std::string> calls;
    std::function<void()> duringMessage; // runs while the "message box" is open
    int failWritesFrom = -1;             // throw on this write and after

    void WritePacket(const QByteArray& packet) override {
        if (failWritesFrom >= 0 && writes++ >= failWritesFrom) {
            throw CommError(CommError::Kind::PortNotOpen, "closed");
        }
        if (packet.size() == 12) {
            calls.push_back("switch");
        } else {
            calls.push_back("block " + std::to_string(static_cast<std::uint8_t>(packet[7]) - 20));
        }
    }
    void SetProgress(int position) override { calls.push_back("bar " + std::to_string(position)); }
    void Wait(int ms) override { calls.push_back("wait " + std::to_string(ms)); }
    void ShowMessage(const QString& text) override {
        calls.push_back("message " + text.toStdString());
        if (duringMessage) {
            duringMessage();
        }
    }
    void SaveData() override { calls.push_back("save"); }
    void SetWriteCaption(const QString& caption) override {
        calls.push_back("caption " + caption.toStdString());
    }
    std::vector<std::string> Take() { return std::exchange(calls, {}); }

  private:
    int writes = 0;
};

const QByteArray kAck("ACK");

class EngineTest : public ::testing::Test {
  protected:
    void Load(int blocks) {
        store.m_lastBlock = static_cast<std::uint8_t>(blocks - 1);
        store.m_imageReady = 1;
    }
    ImageStore store;
    RecordingHost host;
    TransferEngine engine{store, host};
};

const std::vector<std::string> kFinish = {
    "wait 1000", "bar 100", "switch", "wait 500", "message Updata Successfully!", "bar 0"};

std::vector<std::string> Then(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(EngineTest, OneBlockImageDisarmsOnWrite) {
    Load(1);
    engine.OnWrite();
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"block 0", "save", "caption Send end"}));
    EXPECT_EQ(store.m_imageReady, 0);
    EXPECT_EQ(engine.m_currentBlock, 0);
    engine.OnDeviceReply(kAck);
    EXPECT_TRUE(host.Take().empty()) << "no switch, no message, no bar";
    engine.OnWrite();
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"save", "caption Send end"}))
        << "Write again sends nothing";
    Load(1);
    engine.OnWrite();
    EXPECT_EQ(host.Take().front(), "block 0") << "a new load arms again";
}

TEST_F(EngineTest, TwoBlockImage) {
    Load(2);
    engine.OnWrite();
    EXPECT_EQ(host.Take(), std::vector<std::string>{"block 0"});
    EXPECT_EQ(engine.m_currentBlock, 1);
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take(), Then({"block 1", "bar 0"}, kFinish));
    EXPECT_EQ(store.m_imageReady, 1);
    EXPECT_EQ(engine.m_currentBlock, 0);
    EXPECT_EQ(engine.m_progressStep, 0);
}

// The bar is set after blocks 1, 3, 5, ... to 0, 1, 2, ...; block 0 and even blocks never move it.
struct ProgressCase {
    int blocks;
    std::vector<int> barAfterBlock; // -1 where the bar does not move
};

class ProgressTest : public EngineTest, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(ProgressTest, StepsAfterOddBlocks) {
    const ProgressCase& c = GetParam();
    Load(c.blocks);
    engine.OnWrite();
    host.Take();
    for (int block = 1; block < c.blocks; ++block) {
        engine.OnDeviceReply(kAck);
        std::vector<std::string> calls = host.Take();
        ASSERT_EQ(calls.front(), "block " + std::to_string(block));
        const int expected = c.barAfterBlock[static_cast<std::size_t>(block)];
        if (expected >= 0) {
            ASSERT_GE(calls.size(), 2u);
            EXPECT_EQ(calls[1], "bar " + std::to_string(expected)) << "after block " << block;
        } else {
            EXPECT_TRUE(calls.size() == 1 || calls[1] == "wait 1000") << "after block " << block;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Images, ProgressTest,
                         ::testing::Values(ProgressCase{2, {-1, 0}},
                                           ProgressCase{10, {-1, 0, -1, 1, -1, 2, -1, 3, -1, 4}},
                                           ProgressCase{5, {-1, 0, -1, 1, -1}}));

TEST_F(EngineTest, FullImageSendsEveryBlockNumberAndFillsBarFromBlock201) {
    Load(236);
    engine.OnWrite();
    host.Take();
    for (int block = 1; block < 236; ++block) {
        engine.OnDeviceReply(kAck);
        const auto calls = host.Take();
        ASSERT_EQ(calls.front(), "block " + std::to_string(block));
        if (block == 201) {
            EXPECT_EQ(calls[1], "bar 100");
        }
        if (block == 235) {
            EXPECT_EQ(calls[1], "bar 117") << "shown as a full bar";
            EXPECT_EQ(std::vector<std::string>(calls.begin() + 2, calls.end()), kFinish);
        }
    }
}

TEST_F(EngineTest, WriteMidTransferStartsOver) {
    Load(10);
    engine.OnWrite();
    engine.OnDeviceReply(kAck);
    engine.OnDeviceReply(kAck);
    host.Take();
    engine.OnWrite();
    EXPECT_EQ(host.Take(), std::vector<std::string>{"block 0"});
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take().front(), "block 1");
}

TEST_F(EngineTest, AckAfterFinishedUpdateStartsSameImageWithoutWrite) {
    Load(2);
    engine.OnWrite();
    engine.OnDeviceReply(kAck);
    host.Take();
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take(), std::vector<std::string>{"block 0"});
}

TEST_F(EngineTest, AckBeforeAnyLoadIsOnlyLogged) {
    engine.OnDeviceReply(kAck);
    EXPECT_TRUE(host.Take().empty());
}

TEST_F(EngineTest, ArmedEngineAnswersAckWithoutWrite) {
    Load(3);
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take(), std::vector<std::string>{"block 0"});
}

// Replies that do not begin with "ACK" move nothing; a split "ACK" stalls the transfer.
TEST_F(EngineTest, OnlyLeadingAckMovesTheTransfer) {
    Load(5);
    engine.OnWrite();
    host.Take();
    for (const QByteArray& reply : {QByteArray("AC"), QByteArray("K"), QByteArray("ERR flash"),
                                    QByteArray("\r\nACK"), QByteArray("ack")}) {
        engine.OnDeviceReply(reply);
    }
    EXPECT_TRUE(host.Take().empty());
    engine.OnDeviceReply("ACKACK");
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"block 1", "bar 0"}))
        << "two in one event: one block";
}

TEST_F(EngineTest, SwitchAloneChangesNothing) {
    Load(5);
    engine.OnWrite();
    engine.OnDeviceReply(kAck);
    host.Take();
    engine.OnBootUserSwitch();
    EXPECT_EQ(host.Take(), std::vector<std::string>{"switch"});
    EXPECT_EQ(engine.m_currentBlock, 2);
    EXPECT_EQ(engine.m_progressStep, 1);
    EXPECT_EQ(store.m_imageReady, 1);
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take().front(), "block 2");
}

TEST_F(EngineTest, ImageLoadedMidTransferStartsOverAndIdleLoadChangesNothing) {
    Load(10);
    engine.OnImageLoaded(); // idle: nothing moves
    EXPECT_TRUE(host.Take().empty());
    engine.OnWrite();
    for (int i = 0; i < 5; ++i) {
        engine.OnDeviceReply(kAck); // blocks 1 to 5 sent; 6 is next
    }
    host.Take();
    Load(2);
    engine.OnImageLoaded();
    EXPECT_EQ(engine.m_currentBlock, 0);
    EXPECT_EQ(engine.m_progressStep, 0);
    engine.OnDeviceReply(kAck);
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take(), Then({"bar 0", "block 0", "block 1", "bar 0"}, kFinish));
}

TEST_F(EngineTest, RepliesDuringTheSuccessMessageSendNothing) {
    Load(2);
    engine.OnWrite();
    host.Take();
    host.duringMessage = [this] {
        engine.OnDeviceReply(kAck); // the device's answer to the last block, nested
        EXPECT_EQ(store.m_imageReady, 0);
    };
    engine.OnDeviceReply(kAck);
    EXPECT_EQ(host.Take(), Then({"block 1", "bar 0"}, kFinish));
}

TEST_F(EngineTest, FailedWriteEndsWriteWithBlockZeroNext) {
    Load(4);
    host.failWritesFrom = 0;
    EXPECT_THROW(engine.OnWrite(), CommError);
    EXPECT_EQ(engine.m_currentBlock, 0);
    EXPECT_EQ(store.m_imageReady, 1);
    EXPECT_TRUE(host.Take().empty()) << "nothing after the failed write";
}

TEST_F(EngineTest, FailedBlockWriteLeavesIndexAtThatBlock) {
    Load(4);
    host.failWritesFrom = 2;
    engine.OnWrite();
    engine.OnDeviceReply(kAck);
    host.Take();
    EXPECT_THROW(engine.OnDeviceReply(kAck), CommError);
    EXPECT_EQ(engine.m_currentBlock, 2) << "the same block goes again on the next ACK";
    EXPECT_TRUE(host.Take().empty());
}

TEST_F(EngineTest, FailedSwitchWriteLeavesTheImageArmedForWrite) {
    Load(2);
    host.failWritesFrom = 2;
    engine.OnWrite();
    EXPECT_THROW(engine.OnDeviceReply(kAck), CommError);
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"block 0", "block 1", "bar 0", "wait 1000",
                                                     "bar 100", "bar 0"}));
    EXPECT_EQ(store.m_imageReady, 1);
    EXPECT_EQ(engine.m_currentBlock, 0);
    EXPECT_EQ(engine.m_progressStep, 0);
    EXPECT_TRUE(engine.m_closingInterrupted);
}

} // namespace
