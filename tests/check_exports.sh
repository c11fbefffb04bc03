#!/usr/bin/env bash
# The shared library must define exactly the twelve VondProxy functions and nothing else.
set -euo pipefail
lib=$1
expected=$(cat <<'LIST'
VondProxy::CallPay(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, void (*)(int, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >))
VondProxy::Exit()
VondProxy::Init(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::shared_ptr<EosGameInfo>, void (*)(int, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >))
VondProxy::Init(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, void (*)(int, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >))
VondProxy::Login(void (*)(int, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >))
VondProxy::PostEvent(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> > const&, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> > const&, double)
VondProxy::QueryProducts(void (*)(int, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >))
VondProxy::SetGameUserId(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >)
VondProxy::SetLevel(int)
VondProxy::SetNickName(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >)
VondProxy::SetServerId(std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >)
VondProxy::UpdateSDKEvent()
LIST
)
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVviu]$/ {print $3}' | c++filt | sort)
if [ "$actual" != "$(echo "$expected" | sort)" ]; then
  echo "exported symbols differ from the twelve VondProxy functions:"
  diff <(echo "$expected" | sort) <(echo "$actual") || true
  exit 1
fi
echo "exactly the twelve VondProxy functions are exported"
