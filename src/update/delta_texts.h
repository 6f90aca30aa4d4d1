#pragma once
// Texts of delta updates and repair, for the log and the status line.

namespace texts {

constexpr wchar_t kDeltaIndexRefused[] = L"文件 [%s] 的分块索引不可用（%s），改为完整下载";
constexpr wchar_t kDeltaReasonDigest[] = L"索引校验失败";
constexpr wchar_t kDeltaReasonFormat[] = L"索引格式错误";
constexpr wchar_t kDeltaReasonFetch[] = L"索引下载失败";
constexpr wchar_t kDeltaReasonRanges[] = L"服务器不支持分段下载";
constexpr wchar_t kDeltaReasonLocal[] = L"本地文件无法读取";
constexpr wchar_t kDeltaMismatch[] = L"文件 [%s] 增量重建后校验不符，改为完整下载";
constexpr wchar_t kVersionBytes[] = L"版本 %s：从本地文件复用 %llu 字节，从服务器下载 %llu 字节";
constexpr wchar_t kRepairStart[] = L"开始检查版本 %s 的文件";
constexpr wchar_t kRepairChecked[] = L"检查完毕：共 %u 个文件，需修复 %u 个";
constexpr wchar_t kRepairedFile[] = L"已修复文件 [%s]";

}  // namespace texts
