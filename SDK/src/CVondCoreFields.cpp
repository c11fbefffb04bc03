// CVondCore's facts about the app and the player: the app's parameters set at start-up, what
// the game reports of its player (server, id, nickname, level), and the backend session.
// Each is read and written under the core's field lock, from any thread.
#include "src/CVondCore.h"

#include <mutex>
#include <string>
#include <utility>

#include "easylogging++.h"
#include "src/CVondTrack.h"
#include "utils/VondUtils.h"

namespace VondSdk {

void CVondCore::InitGlobalParams(std::string appId, std::string appKey) {
    GlobalParams params;
    params.appId = std::move(appId);
    params.appKey = std::move(appKey);
    params.os = "Windows";
    params.sdkVer = "EpicEXE_1.0.0";
    params.sdkType = "html5";
    params.clientId = VondUtils::GetClientId();
    params.runPlatform = "html5";
    params.gamePlatform = "epic";
    {
        std::lock_guard<std::mutex> lock(fieldsMutex_);
        globalParams_ = params;
    }
    LOG(INFO) << "Init AppId:" << params.appId << ",ClientId:" << params.clientId;
}

void CVondCore::SetServerId(std::string serverId) {
    {
        std::lock_guard<std::mutex> lock(fieldsMutex_);
        gameUserInfo_.serverId = serverId;
    }
    CVondTrack::Instance().RefreshGameUserInfo();
    LOG(INFO) << "Set Game User Info, SetServerId:" << serverId;
}

void CVondCore::SetGameUserId(std::string gameUserId) {
    {
        std::lock_guard<std::mutex> lock(fieldsMutex_);
        gameUserInfo_.gameUserId = gameUserId;
    }
    CVondTrack::Instance().RefreshGameUserInfo();
    LOG(INFO) << "Set Game User Info, SetGameUserId:" << gameUserId;
}

void CVondCore::SetNickName(std::string nickName) {
    {
        std::lock_guard<std::mutex> lock(fieldsMutex_);
        gameUserInfo_.nickName = nickName;
    }
    CVondTrack::Instance().RefreshGameUserInfo();
    LOG(INFO) << "Set Game User Info, SetNickName:" << nickName;
}

void CVondCore::SetLevel(int level) {
    {
        std::lock_guard<std::mutex> lock(fieldsMutex_);
        gameUserInfo_.level = level;
    }
    CVondTrack::Instance().RefreshGameUserInfo();
    LOG(INFO) << "Set Game User Info, SetLevel:" << level;
}

GlobalParams CVondCore::GetGlobalParams() const {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    return globalParams_;
}

GameUserInfo CVondCore::GetGameUserInfo() const {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    return gameUserInfo_;
}

std::string CVondCore::GetUserId() const {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    return userId_;
}

std::string CVondCore::GetToken() const {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    return token_;
}

void CVondCore::SetSession(std::string token, std::string userId) {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    token_ = std::move(token);
    userId_ = std::move(userId);
}

}  // namespace VondSdk
