/* The LZMA SDK's encoder (third_party/lzma/LzmaEnc.c, compiled here and
   nowhere else, untouched) with one addition: coding data for a decoder
   whose dictionary is primed with a preset (codec/lzma.h). The encoder's
   own state is private to LzmaEnc.c, hence this file includes it. */
#include "LzmaEnc.c"

/* Codes src[preset_size, src_size) as LzmaEncode would (no end mark), with
   the match finder having seen src[0, preset_size) and positions counting
   from preset_size, as the primed decoder does. */
SRes UpkitLzmaEncodePrimed(Byte *dest, SizeT *dest_len, const Byte *src, SizeT src_size, SizeT preset_size,
                           const CLzmaEncProps *props, Byte *props_encoded, SizeT *props_size, ISzAlloc *alloc)
{
  CSeqOutStreamBuf out;
  SRes res;
  CLzmaEnc *p = (CLzmaEnc *)LzmaEnc_Create(alloc);
  if (p == 0)
    return SZ_ERROR_MEM;
  out.funcTable.Write = MyWrite;
  out.data = dest;
  out.rem = *dest_len;
  out.overflow = False;
  res = LzmaEnc_SetProps(p, props);
  if (res == SZ_OK)
    res = LzmaEnc_WriteProperties(p, props_encoded, props_size);
  if (res == SZ_OK)
  {
    p->writeEndMark = False;
    p->rc.outStream = &out.funcTable;
    res = LzmaEnc_MemPrepare(p, src, src_size, 0, alloc, alloc);
  }
  if (res == SZ_OK)
  {
    p->matchFinder.Init(p->matchFinderObj);
    p->needInit = 0;
    if (preset_size != 0)
    {
      p->matchFinder.Skip(p->matchFinderObj, (UInt32)preset_size);
      p->nowPos64 = preset_size;
    }
    for (;;)
    {
      res = LzmaEnc_CodeOneBlock(p, False, 0, 0);
      if (res != SZ_OK || p->finished)
        break;
    }
    *dest_len -= out.rem;
    if (res == SZ_OK && out.overflow)
      res = SZ_ERROR_OUTPUT_EOF;
  }
  LzmaEnc_Destroy(p, alloc, alloc);
  return res;
}
