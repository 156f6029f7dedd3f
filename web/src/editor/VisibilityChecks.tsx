import type { Visibility } from "../api/types";
import { visibilityChoices } from "./visibilities";

interface Props {
  legend: string;
  catalog: Visibility[];
  allowed: readonly string[];
  value: readonly string[];
  onChange(next: string[]): void;
  disabled?: boolean;
  idPrefix: string;
  /** A line under the boxes, e.g. why some audiences are not offered. */
  hint?: string;
}

/** Audiences as checkboxes, labelled with the catalog's names. */
export function VisibilityChecks({ legend, catalog, allowed, value, onChange, disabled, idPrefix, hint }: Props) {
  const choices = visibilityChoices(catalog, allowed, value);
  return (
    <fieldset>
      <legend>{legend}</legend>
      {choices.length === 0 ? (
        <p className="muted">This tree may not be shown to any audience: its product has none in the catalog.</p>
      ) : (
        <div className="checks">
          {choices.map((c) => (
            <label key={c.id} htmlFor={`${idPrefix}-${c.id}`}>
              <input
                id={`${idPrefix}-${c.id}`}
                type="checkbox"
                checked={value.includes(c.id)}
                disabled={disabled || (!c.allowed && !value.includes(c.id))}
                onChange={(e) =>
                  onChange(e.target.checked ? [...value, c.id] : value.filter((v) => v !== c.id))
                }
              />
              {c.name}
            </label>
          ))}
        </div>
      )}
      {hint ? <p className="hint">{hint}</p> : null}
    </fieldset>
  );
}
