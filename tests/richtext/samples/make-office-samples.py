#!/usr/bin/env python3
"""Writes the DOCX and ODT documents behind the office-*.rtf samples and has
LibreOffice convert each to RTF (soffice --headless --convert-to rtf), as a
clinician's word processor would save a note. Run from this folder:
    python3 make-office-samples.py
The documents are built here from their XML, so the samples hold nothing but
what is written below."""
import os, shutil, struct, subprocess, tempfile, zipfile, zlib

W = ('xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main" '
     'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"')
PARTS = {'numbering': ('numbering', 'numbering'), 'comments': ('comments', 'comments'), 'header1': ('header', 'hdr'),
         'footer1': ('footer', 'ftr'), 'endnotes': ('endnotes', 'endnotes')}


def png(w, h, top, bottom):
    raw = b''.join(b'\0' + bytes(top if y < h // 2 else bottom) * w for y in range(h))
    chunk = lambda t, d: struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))


def docx(path, body, parts=None, sect=''):
    parts = parts or {}
    ct = ''.join(f'<Override PartName="/word/{p}.xml" ContentType="application/vnd.openxmlformats-officedocument.'
                 f'wordprocessingml.{PARTS[p][0]}+xml"/>' for p in parts)
    rels = ''.join(f'<Relationship Id="r{p}" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
                   f'{PARTS[p][0]}" Target="{p}.xml"/>' for p in parts)
    with zipfile.ZipFile(path, 'w') as z:
        z.writestr('[Content_Types].xml', '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/'
                   'package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.'
                   'relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/word/'
                   'document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/>'
                   + ct + '</Types>')
        z.writestr('_rels/.rels', '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/'
                   'package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/'
                   '2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>')
        z.writestr('word/_rels/document.xml.rels', '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.'
                   'openxmlformats.org/package/2006/relationships">' + rels + '</Relationships>')
        z.writestr('word/document.xml', f'<?xml version="1.0" encoding="UTF-8"?><w:document {W}><w:body>{body}<w:sectPr>{sect}'
                   '<w:pgSz w:w="11906" w:h="16838"/></w:sectPr></w:body></w:document>')
        for p, xml in parts.items():
            z.writestr(f'word/{p}.xml', f'<?xml version="1.0" encoding="UTF-8"?><w:{PARTS[p][1]} {W}>{xml}</w:{PARTS[p][1]}>')


def odt(path, body, pictures):
    ns = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:'
          'xmlns:text:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:xlink="http://www.w3.org/'
          '1999/xlink" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"')
    with zipfile.ZipFile(path, 'w') as z:
        z.writestr(zipfile.ZipInfo('mimetype'), 'application/vnd.oasis.opendocument.text')
        z.writestr('META-INF/manifest.xml', '<?xml version="1.0" encoding="UTF-8"?><manifest:manifest xmlns:manifest="urn:oasis:'
                   'names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2"><manifest:file-entry manifest:full-path="/"'
                   ' manifest:media-type="application/vnd.oasis.opendocument.text"/><manifest:file-entry manifest:full-path='
                   '"content.xml" manifest:media-type="text/xml"/>' + ''.join(
                       f'<manifest:file-entry manifest:full-path="Pictures/{p}" manifest:media-type="image/png"/>'
                       for p in pictures) + '</manifest:manifest>')
        z.writestr('content.xml', f'<?xml version="1.0" encoding="UTF-8"?><office:document-content {ns} office:version="1.2">'
                   f'<office:body><office:text>{body}</office:text></office:body></office:document-content>')
        for p, data in pictures.items():
            z.writestr('Pictures/' + p, data)


def p(text, ppr='', rpr=''):
    return f'<w:p><w:pPr>{ppr}</w:pPr><w:r><w:rPr>{rpr}</w:rPr><w:t xml:space="preserve">{text}</w:t></w:r></w:p>'


def item(text, num, lvl=0):
    return p(text, f'<w:numPr><w:ilvl w:val="{lvl}"/><w:numId w:val="{num}"/></w:numPr>')


def numbering(*lists):
    """Each list: (levels, start override or None); a level is (format, text, start)."""
    out = ''
    for i, (levels, _) in enumerate(lists):
        out += f'<w:abstractNum w:abstractNumId="{i}">' + ''.join(
            f'<w:lvl w:ilvl="{n}"><w:start w:val="{s}"/><w:numFmt w:val="{f}"/><w:lvlText w:val="{t}"/>'
            f'<w:pPr><w:ind w:left="{720 * (n + 1)}" w:hanging="360"/></w:pPr></w:lvl>' for n, (f, t, s) in enumerate(levels)
        ) + '</w:abstractNum>'
    return out + ''.join(f'<w:num w:numId="{i + 1}"><w:abstractNumId w:val="{i}"/></w:num>' for i in range(len(lists)))


def cell(content, fill='', border=''):
    shd = f'<w:shd w:val="clear" w:color="auto" w:fill="{fill}"/>' if fill else ''
    brd = (f'<w:tcBorders><w:top w:val="single" w:sz="8" w:color="{border}"/><w:bottom w:val="single" w:sz="8" '
           f'w:color="{border}"/></w:tcBorders>') if border else ''
    return f'<w:tc><w:tcPr><w:tcW w:w="3000" w:type="dxa"/>{shd}{brd}</w:tcPr>{content}</w:tc>'


def table(rows):
    return ('<w:tbl><w:tblPr><w:tblW w:w="6000" w:type="dxa"/><w:tblBorders><w:top w:val="single" w:sz="4"/><w:bottom '
            'w:val="single" w:sz="4"/><w:insideH w:val="single" w:sz="4"/><w:insideV w:val="single" w:sz="4"/></w:tblBorders>'
            '</w:tblPr><w:tblGrid><w:gridCol w:w="3000"/><w:gridCol w:w="3000"/></w:tblGrid>'
            + ''.join('<w:tr>' + ''.join(r) + '</w:tr>' for r in rows) + '</w:tbl>')


def frame(picture, anchor, name):
    return (f'<draw:frame draw:name="{name}" text:anchor-type="{anchor}" svg:width="1cm" svg:height="0.75cm"><draw:image '
            f'xlink:href="Pictures/{picture}" xlink:type="simple" xlink:show="embed" xlink:actuate="onLoad"/></draw:frame>')


DECIMAL = [('decimal', '%1.', 1), ('lowerLetter', '%2)', 1)]
FIELDS = ('<w:p><w:r><w:t xml:space="preserve">Ver </w:t></w:r><w:r><w:fldChar w:fldCharType="begin"/></w:r><w:r><w:instrText '
          'xml:space="preserve"> HYPERLINK "https://example.org/cid" </w:instrText></w:r><w:r><w:fldChar w:fldCharType='
          '"separate"/></w:r><w:r><w:t>CID-10</w:t></w:r><w:r><w:fldChar w:fldCharType="end"/></w:r><w:r><w:t xml:space='
          '"preserve"> e página </w:t></w:r><w:r><w:fldChar w:fldCharType="begin"/></w:r><w:r><w:instrText> PAGE </w:instrText>'
          '</w:r><w:r><w:fldChar w:fldCharType="separate"/></w:r><w:r><w:t>1</w:t></w:r><w:r><w:fldChar w:fldCharType="end"/>'
          '</w:r></w:p>')

DOCUMENTS = {
    'office-shape-pictures.odt': lambda path: odt(path, '<text:p>Lesão inicial: ' + frame('a.png', 'as-char', 'Inline')
                                                  + ' fim.</text:p><text:p>' + frame('b.png', 'paragraph', 'Ancorada')
                                                  + 'Foto ancorada ao parágrafo.</text:p>',
                                                  {'a.png': png(4, 3, (200, 30, 30), (20, 40, 220)),
                                                   'b.png': png(5, 4, (20, 160, 40), (240, 240, 40))}),
    'office-text-box.odt': lambda path: odt(path, '<text:p>Antes da caixa.</text:p><text:p><draw:frame draw:name="Caixa" '
                                            'text:anchor-type="paragraph" svg:width="6cm" svg:height="2cm"><draw:text-box>'
                                            '<text:p>ALERTA: alergia grave a látex</text:p><text:p>Usar luvas sem látex.'
                                            '</text:p></draw:text-box></draw:frame>Texto ao lado.</text:p><text:p>Depois da '
                                            'caixa.</text:p>', {}),
    'office-tracked-changes.docx': lambda path: docx(path, '<w:p><w:r><w:t xml:space="preserve">Paciente </w:t></w:r><w:del '
                                                     'w:id="1" w:author="Dra. Ana" w:date="2026-12-07T10:15:00Z"><w:r><w:delText '
                                                     'xml:space="preserve">NÃO </w:delText></w:r></w:del><w:r><w:t xml:space='
                                                     '"preserve">é alérgico a dipirona</w:t></w:r><w:ins w:id="2" w:author="Dr. '
                                                     'Bruno" w:date="2026-12-08T08:30:00Z"><w:r><w:t xml:space="preserve"> e a '
                                                     'látex</w:t></w:r></w:ins><w:r><w:t>.</w:t></w:r></w:p>'),
    'office-separate-lists.docx': lambda path: docx(path, p('Condutas:') + item('dieta', 1) + item('exercício', 1)
                                                    + p('Exames:') + item('hemograma', 2) + item('glicemia', 2),
                                                    {'numbering': numbering((DECIMAL, None), (DECIMAL, None))}),
    'office-nested-numbering.docx': lambda path: docx(path, item('glicemia', 1) + item('meta HbA1c', 1, 1)
                                                      + item('meta LDL', 1, 1) + item('retorno', 1) + p('Itens:')
                                                      + item('quinto', 2) + item('sexto', 2),
                                                      {'numbering': numbering((DECIMAL, None),
                                                                              ([('upperLetter', '%1.', 5)], None))}),
    'office-header-footer-comment.docx': lambda path: docx(
        path, '<w:p><w:r><w:t xml:space="preserve">Exame físico </w:t></w:r><w:commentRangeStart w:id="0"/><w:r><w:t>sem '
        'alterações</w:t></w:r><w:commentRangeEnd w:id="0"/><w:r><w:commentReference w:id="0"/></w:r><w:r><w:t>.</w:t>'
        '</w:r></w:p>', {'comments': '<w:comment w:id="0" w:author="Dr. Carlos" w:date="2026-12-07T09:00:00Z" w:initials='
                         '"DC"><w:p><w:r><w:t>Confirmar ausculta.</w:t></w:r></w:p></w:comment>',
                         'header1': '<w:p><w:r><w:t>Clínica Central — Prontuário</w:t></w:r></w:p>',
                         'footer1': '<w:p><w:r><w:t>Documento confidencial</w:t></w:r></w:p>'},
        '<w:headerReference w:type="default" r:id="rheader1"/><w:footerReference w:type="default" r:id="rfooter1"/>'),
    'office-shading-colours.docx': lambda path: docx(
        path, table([[cell(p('Potássio')), cell(p('6,8 mmol/L'), 'FF0000', '0000FF')]])
        + p('Atenção: valor crítico', '<w:pBdr>' + ''.join(f'<w:{s} w:val="single" w:sz="12" w:color="00A000"/>'
                                                            for s in ('top', 'left', 'bottom', 'right'))
            + '</w:pBdr><w:shd w:val="clear" w:color="auto" w:fill="FFFF00"/>')),
    'office-page-breaks.docx': lambda path: docx(
        path, p('Página um') + '<w:p><w:r><w:t>antes</w:t></w:r><w:r><w:br w:type="page"/></w:r><w:r><w:t>depois</w:t></w:r>'
        '</w:p>' + p('Nova página', '<w:pageBreakBefore/>') + '<w:p><w:pPr><w:sectPr><w:pgSz w:w="11906" w:h="16838"/>'
        '</w:sectPr></w:pPr><w:r><w:t>fim da seção</w:t></w:r></w:p>' + p('Seção dois')),
    'office-effects-tabs-endnote.docx': lambda path: docx(
        path, p('caixa alta', rpr='<w:caps/>') + p('versalete', rpr='<w:smallCaps/>')
        + p('sublinhado duplo', rpr='<w:u w:val="double"/>') + p('tachado duplo', rpr='<w:dstrike/>')
        + p('contorno', rpr='<w:outline/>') + p('sombra', rpr='<w:shadow/>') + p('expandido', rpr='<w:spacing w:val="60"/>')
        + '<w:p><w:pPr><w:tabs><w:tab w:val="right" w:leader="dot" w:pos="5000"/><w:tab w:val="decimal" w:pos="7000"/>'
        '</w:tabs></w:pPr><w:r><w:t>Glicose</w:t></w:r><w:r><w:tab/><w:t>jejum</w:t></w:r><w:r><w:tab/><w:t>98,5</w:t>'
        '</w:r></w:p><w:p><w:r><w:t>Ver nota</w:t></w:r><w:r><w:rPr><w:vertAlign w:val="superscript"/></w:rPr>'
        '<w:endnoteReference w:id="1"/></w:r></w:p>',
        {'endnotes': '<w:endnote w:id="-1" w:type="separator"><w:p><w:r><w:separator/></w:r></w:p></w:endnote><w:endnote '
                     'w:id="0" w:type="continuationSeparator"><w:p><w:r><w:continuationSeparator/></w:r></w:p></w:endnote>'
                     '<w:endnote w:id="1"><w:p><w:r><w:t>Valor de referência 70-99.</w:t></w:r></w:p></w:endnote>'}),
    'office-lists-across-cells.docx': lambda path: docx(
        path, table([[cell(item('item um', 1) + item('item dois', 1)), cell(item('item três', 1))],
                     [cell(FIELDS), cell(p('Conduta:') + item('item quatro', 1))]]) + p('Fim.'),
        {'numbering': numbering((DECIMAL, None))}),
}

if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as tmp:
        for name, make in DOCUMENTS.items():
            make(os.path.join(tmp, name))
            subprocess.run(['soffice', f'-env:UserInstallation=file://{tmp}/profile', '--headless', '--convert-to', 'rtf',
                            '--outdir', here, os.path.join(tmp, name)], check=True, capture_output=True)
            print(os.path.splitext(name)[0] + '.rtf')
